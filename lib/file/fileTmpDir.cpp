// The per-user safe temporary directory; see File_GetSafeTmpDir in file.h.
//
// The directory is "<base>/quillon-<user>" when that one is ours; when
// somebody else holds the name (or it is open to others) a fresh directory
// "<base>/quillon-<user>-<random>" is made instead.
#include <cstdlib>
#include <string>

#include "lib/config/preference.h"
#include "lib/file/file.h"
#include "lib/file/filePlatform.h"
#include "lib/log/log.h"
#include "lib/misc/random.h"
#include "lib/string/str.h"

namespace {

constexpr const char *FILE_TMP_PREFIX = "quillon";
constexpr int FILE_MAX_SAFE_DIR_FAILURES = 250;

// Creates the candidate or checks the one that is there.
bool
FileAcceptSafeDir(const char *path)
{
   if (File_PathExists(path)) {
      return FilePlat_IsDirectorySafe(path);
   }
   return FilePlat_MakeSafeDirectory(path);
}

// The base directory: the "tmpDirectory" preference when asked for and
// usable, else the system's temporary directory.
bool
FileGetTmpDir(bool useConf, std::string *base)
{
   if (useConf) {
      char *conf = Preference_GetString(nullptr, "tmpDirectory");
      bool ok = conf != nullptr && FileIsWritableDir(conf);
      if (ok) {
         *base = conf;
         if (base->size() > 1 && base->back() == DIRSEPC) {
            base->pop_back();
         }
      }
      std::free(conf);
      if (ok) {
         return true;
      }
   }
   if (FilePlat_TmpBase(base) && FileIsWritableDir(base->c_str())) {
      return true;
   }
   Warning("%s: Couldn't get a temporary directory\n", "FileGetTmpDir");
   return false;
}

char *
FileCreateSafeTmpDir(const std::string &user, const std::string &base)
{
   for (int failures = 0;; failures++) {
      uint32_t suffix = 0;
      if (!Random_Crypto(sizeof suffix, &suffix)) {
         suffix = FileSimpleRandom();
      }
      char *dir = Str_Asprintf(nullptr, "%s" DIRSEPS "%s-%s-%u", base.c_str(),
                               FILE_TMP_PREFIX, user.c_str(), suffix);
      if (dir == nullptr) {
         Warning("%s: malloc failure.\n", "FileCreateSafeTmpDir");
         return nullptr;
      }
      if (FileAcceptSafeDir(dir)) {
         return dir;
      }
      if (failures >= FILE_MAX_SAFE_DIR_FAILURES) {
         Warning("%s: Failed to create a safe temporary directory, path \"%s\". "
             "The maximum number of attempts was exceeded.\n",
             "FileCreateSafeTmpDir", dir);
         std::free(dir);
         return nullptr;
      }
      std::free(dir);
   }
}

}  // namespace

char *
File_GetSafeTmpDir(bool useConf)
{
   std::string base;
   if (!FileGetTmpDir(useConf, &base)) {
      Warning("%s: FileGetTmpDir failed.\n", "File_GetSafeTmpDir");
      return nullptr;
   }
   std::string user;
   if (!FilePlat_UserName(&user)) {
      Warning("%s: GetUserName failed.\n", "File_GetSafeTmpDir");
      return nullptr;
   }
   char *dir = Str_Asprintf(nullptr, "%s" DIRSEPS "%s-%s", base.c_str(), FILE_TMP_PREFIX,
                            user.c_str());
   if (dir == nullptr) {
      Warning("%s: Out of memory error.\n", "File_GetSafeTmpDir");
      return nullptr;
   }
   if (FileAcceptSafeDir(dir)) {
      return dir;
   }
   std::free(dir);
   return FileCreateSafeTmpDir(user, base);
}
