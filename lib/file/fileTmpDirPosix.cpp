// POSIX back end of the safe temporary directory; see filePlatform.h.
//
// A safe directory is a real directory (not a symbolic link) owned by the
// effective user, with all owner bits and no group or other bits, and,
// where the file system keeps POSIX ACLs, no named user or group entry
// that grants anybody else anything, neither in its access ACL nor in the
// default ACL that new files inside would inherit. The ACLs are read
// through libacl; a file system without ACLs answers ENOTSUP and is judged
// by owner and mode alone. The checks' log lines keep the names they have
// always been reported under ("W32Util_IsDirectorySafe", ...), which
// whoever reads the logs searches for.
#include "lib/file/filePlatform.h"

#include <acl/libacl.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/misc/logHook.h"
#include "lib/misc/platFaultPosix.h"
#include "lib/misc/utilScoped.h"

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

namespace {

std::string
FileSafeDirStrip(const char *path)
{
   std::string s = path;
   while (s.size() > 1 && (s.back() == '/' || s.back() == '\\')) {
      s.pop_back();
   }
   return s;
}

bool
FileSafeDirNoAcls(int err)
{
   return err == ENOTSUP || err == EOPNOTSUPP || err == ENOSYS;
}

/*
 * Whether an ACL gives anything to anybody but the owner. The mask entry
 * only limits the others; it grants nothing by itself.
 */
bool
FileSafeDirAclOpensToOthers(acl_t acl, uid_t owner)
{
   acl_entry_t entry;
   for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl, which, &entry) == 1;
        which = ACL_NEXT_ENTRY) {
      acl_tag_t tag;
      acl_permset_t perms;
      if (acl_get_tag_type(entry, &tag) != 0 || acl_get_permset(entry, &perms) != 0) {
         return true;
      }
      bool grants = acl_get_perm(perms, ACL_READ) == 1 || acl_get_perm(perms, ACL_WRITE) == 1 ||
                    acl_get_perm(perms, ACL_EXECUTE) == 1;
      if (!grants || tag == ACL_USER_OBJ || tag == ACL_MASK) {
         continue;
      }
      if (tag == ACL_USER) {
         uid_t *who = static_cast<uid_t *>(acl_get_qualifier(entry));
         bool self = who != nullptr && *who == owner;
         acl_free(who);
         if (self) {
            continue;
         }
      }
      return true;
   }
   return false;
}

// Whether the directory can be read and holds nothing but "." and "..".
bool
FileSafeDirIsEmpty(const std::string &dir)
{
   DIR *d = opendir(dir.c_str());
   if (d == nullptr) {
      return false;
   }
   UtilScopeExit closeDir([d] { closedir(d); });
   while (struct dirent *ent = readdir(d)) {
      if (std::strcmp(ent->d_name, ".") != 0 && std::strcmp(ent->d_name, "..") != 0) {
         return false;
      }
   }
   return true;
}

}  // namespace

bool
FilePlat_MakeSafeDirectory(const char *path)
{
   std::string dir = FileSafeDirStrip(path);
   if (!PlatFault_Allowed(PLAT_MKDIR) || mkdir(dir.c_str(), 0700) != 0) {
      LogHook_Log("%s: CreateDirectoryW failed: %d\n", "W32Util_MakeSafeDirectory", errno);
      return false;
   }

   /*
    * A default ACL of the parent has been copied into the new directory
    * (as its access ACL, ignoring the mode asked for, and as its default
    * ACL): replace both with the plain owner-only form.
    */
   bool ok = true;
   int err = 0;
   if (acl_delete_def_file(dir.c_str()) != 0 && !FileSafeDirNoAcls(errno)) {
      ok = false;
      err = errno;
   }
   acl_t plain = acl_from_mode(0700);
   if (ok && plain != nullptr && acl_set_file(dir.c_str(), ACL_TYPE_ACCESS, plain) != 0 &&
       !FileSafeDirNoAcls(errno)) {
      ok = false;
      err = errno;
   }
   acl_free(plain);
   if (ok && chmod(dir.c_str(), 0700) != 0) {
      ok = false;
      err = errno;
   }
   if (!ok) {
      LogHook_Log("%s: SetSecurityDescriptorControl failed: %d\n", "W32Util_MakeSafeDirectory",
                  err);
      rmdir(dir.c_str());
      return false;
   }

   // Whoever the inherited entries let in before they were removed may
   // have left something inside.
   if (!FileSafeDirIsEmpty(dir)) {
      LogHook_Log("%s: CreateDirectoryW failed: %d\n", "W32Util_MakeSafeDirectory", EEXIST);
      // Not EEXIST: the caller must not take it for a directory that was
      // there before and may be checked instead.
      errno = ENOTEMPTY;
      return false;
   }
   return true;
}

bool
FilePlat_IsDirectorySafe(const char *path)
{
   static const char *const me = "W32Util_IsDirectorySafe";
   std::string dir = FileSafeDirStrip(path);
   UtilFd fd;
   if (PlatFault_Allowed(PLAT_STAT)) {
      fd.Reset(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
   }
   struct stat st;
   if (!fd || fstat(fd.Get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      LogHook_Log("%s: Failed directory attributes check, \"%s\"\n", me, dir.c_str());
      return false;
   }

   uid_t user = geteuid();
   bool safe = false;
   if (st.st_uid != user) {
      LogHook_Log("%s: Failed owner SID match, \"%s\"\n", me, dir.c_str());
   } else if ((st.st_mode & 0700) != 0700) {
      LogHook_Log("%s: Failed cur user and admin ACE presence check, \"%s\"\n", me, dir.c_str());
   } else if ((st.st_mode & 077) != 0) {
      LogHook_Log("%s: Failed DACL num entries check, \"%s\"\n", me, dir.c_str());
   } else {
      safe = true;
      acl_t access = acl_get_fd(fd.Get());
      if (access == nullptr) {
         if (!FileSafeDirNoAcls(errno)) {
            LogHook_Log("%s: GetNamedSecurityInfoW failed: %d\n", me, errno);
            safe = false;
         }
      } else {
         if (FileSafeDirAclOpensToOthers(access, user)) {
            LogHook_Log("%s: Failed DACL num entries check, \"%s\"\n", me, dir.c_str());
            safe = false;
         }
         acl_free(access);
      }
      if (safe) {
         acl_t inherited = acl_get_file(dir.c_str(), ACL_TYPE_DEFAULT);
         if (inherited == nullptr) {
            if (!FileSafeDirNoAcls(errno)) {
               LogHook_Log("%s: GetNamedSecurityInfoW failed: %d\n", me, errno);
               safe = false;
            }
         } else {
            if (FileSafeDirAclOpensToOthers(inherited, user)) {
               LogHook_Log("%s: Failed DACL inherit check, \"%s\"\n", me, dir.c_str());
               safe = false;
            }
            acl_free(inherited);
         }
      }
   }
   return safe;
}
