// POSIX back end of the safe temporary directory; see filePlatform.h.
//
// The owner and the mode bits stand for the access-control list: a safe
// directory is owned by the effective user and grants nothing to the
// group or to others.
#include "lib/file/filePlatform.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/misc/platFaultPosix.h"

bool
FilePlat_TmpBase(std::string *out)
{
   const char *base = getenv("TMPDIR");
   if (base == nullptr || base[0] != '/') {
      base = "/tmp";
   }
   *out = base;
   while (out->size() > 1 && out->back() == '/') {
      out->pop_back();
   }
   return true;
}

bool
FilePlat_UserName(std::string *out)
{
   uid_t uid = geteuid();
   char buf[1024];
   passwd pw;
   passwd *found = nullptr;
   if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) {
      *out = found->pw_name;
   } else {
      // A user without a passwd entry (a container's arbitrary uid) is
      // still a user: name it by number.
      *out = std::to_string((unsigned)uid);
   }
   return true;
}

bool
FilePlat_MakeSafeDirectory(const char *path)
{
   return PlatFault_Allowed(PLAT_MKDIR) && mkdir(path, 0700) == 0;
}

bool
FilePlat_IsDirectorySafe(const char *path)
{
   struct stat st;
   if (!PlatFault_Allowed(PLAT_STAT) || lstat(path, &st) != 0) {
      return false;
   }
   return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}
