// POSIX back end of the safe temporary directory; see filePlatform.h.
#include "lib/file/filePlatform.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

bool
FilePlat_TmpBase(std::string *out)
{
   const char *base = getenv("TMPDIR");
   if (base == nullptr || base[0] == '\0') {
      base = "/tmp";
   }
   *out = base;
   return true;
}

bool
FilePlat_LocalAppData(std::string *out)
{
   const char *cache = getenv("XDG_CACHE_HOME");
   if (cache != nullptr && cache[0] == '/') {
      *out = cache;
      return true;
   }
   const char *home = getenv("HOME");
   if (home == nullptr || home[0] != '/') {
      errno = ENOENT;
      return false;
   }
   *out = std::string(home) + "/.cache";
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
