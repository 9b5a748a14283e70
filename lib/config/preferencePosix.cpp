// POSIX back end of the preference store's folders; see
// preferencePlatform.h.
//
// - Common application data: $SALVOR_APPDATA_PATH when set and not empty
//   (in place of the product key's "AppDataPath" value), else /etc.
// - Per-user roaming application data: $XDG_CONFIG_HOME, by default
//   $HOME/.config, and the password database's home directory of the
//   effective user when HOME is unset.
#include "lib/config/preferencePlatform.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

#include "lib/file/file.h"

namespace {

bool
PreferencePlatHomeDirectory(std::string *home)
{
   const char *env = std::getenv("HOME");
   if (env != nullptr && env[0] != '\0') {
      *home = env;
      return true;
   }
   long size = sysconf(_SC_GETPW_R_SIZE_MAX);
   std::vector<char> buf(size > 0 ? (size_t)size : 16384);
   passwd pw;
   passwd *found = nullptr;
   if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr ||
       found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
      return false;
   }
   *home = found->pw_dir;
   return true;
}

}  // namespace

bool
PreferencePlat_UserAppDataFolder(std::string *folder)
{
   const char *xdg = std::getenv("XDG_CONFIG_HOME");
   if (xdg != nullptr && xdg[0] != '\0') {
      *folder = xdg;
   } else {
      std::string home;
      if (!PreferencePlatHomeDirectory(&home)) {
         return false;
      }
      *folder = home + "/.config";
   }
   File_MakeDirTree(folder->c_str(), nullptr);  // as the folder lookup's create flag
   return true;
}

bool
PreferencePlat_CommonAppDataFolder(std::string *folder)
{
   const char *path = std::getenv("SALVOR_APPDATA_PATH");
   *folder = path != nullptr && path[0] != '\0' ? path : "/etc";
   return true;
}

bool
PreferencePlat_MakeCommonDirectory(const std::string &dir)
{
   return File_MakeDir(dir.c_str());
}

bool
PreferencePlat_CommonFileIsTrusted(const std::string &dir, const std::string &path,
                                   std::string *why)
{
   // The common folder is /etc, root's alone.
   (void)dir;
   (void)path;
   (void)why;
   return true;
}
