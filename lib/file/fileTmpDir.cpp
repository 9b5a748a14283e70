// The per-user safe temporary directory; see File_GetSafeTmpDir in file.h.
//
// The directory is "<base>/quillon-<user>" when that one is ours alone;
// when somebody else holds the name, or it is open to others, an earlier
// "<base>/quillon-<user>-<number>" that is ours is reused, or a new one
// with a random number is made. The base is the "tmpDirectory" preference
// (when the caller allows it), else the process's temporary path (TMPDIR
// or /tmp), else "Temp" in the user's local application-data directory.
//
// The answer is remembered and checked again on every call: it is given
// out again only while it is still safe (or could be made again safely).
// All of this runs under one process-wide lock.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/misc/preferenceLookup.h"
#include "lib/file/file.h"
#include "lib/file/fileInt.h"
#include "lib/file/filePlatform.h"
#include "lib/lock/ul.h"
#include "lib/misc/logHook.h"
#include "lib/misc/panic.h"
#include "lib/misc/random.h"
#include "lib/misc/utilMisc.h"
#include "lib/misc/utilScoped.h"
#include "lib/string/str.h"

namespace {

constexpr const char *FILE_TMP_PREFIX = "quillon";
constexpr int FILE_MAX_SAFE_DIR_FAILURES = 250;

std::atomic<MXUserExclLock *> fileSafeTmpDirLock{nullptr};
char *fileSafeTmpDirCache = nullptr;  // guarded by fileSafeTmpDirLock

// Creates the candidate or checks the one that is there.
bool
FileAcceptSafeDir(const char *path, bool aclOk)
{
   if (!aclOk) {
      // Nothing to check on such a volume: ours if we can have it.
      return File_MakeDir(path);
   }
   if (File_PathExists(path)) {
      return FilePlat_IsDirectorySafe(path);
   }
   if (FilePlat_MakeSafeDirectory(path)) {
      return true;
   }
   // Another process of ours may have made it since the look above: it
   // is then checked like any directory that was already there.
   return FilePlat_LastError() == FILEPLAT_ERR_EXISTS && FilePlat_IsDirectorySafe(path);
}

/*
 * Expands a candidate base directory; it must be a directory the caller
 * can write. One trailing separator is dropped. Null when unusable.
 */
char *
FileTmpCandidateOk(const char *candidate)
{
   if (candidate == nullptr) {
      return nullptr;
   }
   UtilCString expanded(Util_ExpandString(candidate));
   if (expanded == nullptr || !FileIsWritableDir(expanded.get())) {
      return nullptr;
   }
   size_t len = std::strlen(expanded.get());
   if (len > 1 && expanded.get()[len - 1] == DIRSEPC) {
      expanded.get()[len - 1] = '\0';
   }
   return expanded.release();
}

// The base directory (the caller frees it), or null.
char *
FileGetTmpDir(bool useConf)
{
   if (useConf) {
      UtilCString conf(Preference_GetString(nullptr, "tmpDirectory"));
      char *base = FileTmpCandidateOk(conf.get());
      if (base != nullptr) {
         return base;
      }
   }
   std::string path;
   if (FilePlat_TmpBase(&path)) {
      char *base = FileTmpCandidateOk(path.c_str());
      if (base != nullptr) {
         return base;
      }
   }
   if (FilePlat_LocalAppData(&path)) {
      // The folder is made when missing, as asking for it with the create
      // flag does; private to the user, like a fresh home's.
      FileCreateDirectoryRetry(path.c_str(), 0700, 0);
      path += DIRSEPS "Temp";
      File_MakeDir(path.c_str());
      char *base = FileTmpCandidateOk(path.c_str());
      if (base != nullptr) {
         return base;
      }
   }
   LogHook_Warning("%s: Couldn't get a temporary directory\n", "FileGetTmpDir");
   return nullptr;
}

// An earlier fresh directory of the user that is still safe, or null.
char *
FileFindExistingSafeTmpDir(const char *base, bool aclOk, const char *user)
{
   UtilCString prefix(Str_Asprintf(nullptr, "%s-%s-", FILE_TMP_PREFIX, user));
   if (prefix == nullptr) {
      LogHook_Warning("%s: Out of memory error.\n", "FileFindExistingSafeTmpDir");
      return nullptr;
   }
   size_t prefixLen = std::strlen(prefix.get());
   char **listed = nullptr;
   int count = FileListDirectoryRetry(base, 0, &listed);
   UtilNameList names(listed, count);
   for (const char *name : names) {
      if (std::strncmp(name, prefix.get(), prefixLen) != 0) {
         continue;
      }
      UtilCString candidate(Str_Asprintf(nullptr, "%s" DIRSEPS "%s", base, name));
      if (candidate == nullptr) {
         LogHook_Warning("%s: Out of memory error.\n", "FileFindExistingSafeTmpDir");
         return nullptr;
      }
      if (File_IsDir(candidate.get()) && FileAcceptSafeDir(candidate.get(), aclOk)) {
         return candidate.release();
      }
   }
   return nullptr;
}

// A new directory with a random number in its name, or null.
char *
FileCreateSafeTmpDir(bool aclOk, const char *user, const char *base)
{
   for (int failures = 0;;) {
      uint32_t suffix;
      if (!Random_Crypto(sizeof suffix, &suffix)) {
         LogHook_Warning("%s: Call to Random_Crypto failed.\n", "FileCreateSafeTmpDir");
         return nullptr;
      }
      UtilCString dir(Str_Asprintf(nullptr, "%s" DIRSEPS "%s-%s-%u", base, FILE_TMP_PREFIX,
                                   user, suffix));
      if (dir == nullptr) {
         LogHook_Warning("%s: malloc failure.\n", "FileCreateSafeTmpDir");
         return nullptr;
      }
      if (FileAcceptSafeDir(dir.get(), aclOk)) {
         return dir.release();
      }
      if (++failures > FILE_MAX_SAFE_DIR_FAILURES) {
         LogHook_Warning("%s: Failed to create a safe temporary directory, path \"%s\". "
                         "The maximum number of attempts was exceeded.\n",
                         "FileCreateSafeTmpDir", dir.get());
         return nullptr;
      }
   }
}

// The work of File_GetSafeTmpDir, under its lock.
char *
FileGetSafeTmpDirLocked(bool useConf)
{
   if (fileSafeTmpDirCache != nullptr &&
       FileAcceptSafeDir(fileSafeTmpDirCache,
                         File_DoesVolumeSupportAcls(fileSafeTmpDirCache))) {
      return Util_SafeStrdup(fileSafeTmpDirCache);
   }

   UtilCString base(FileGetTmpDir(useConf));
   if (base == nullptr) {
      LogHook_Warning("%s: FileGetTmpDir failed.\n", "File_GetSafeTmpDir");
      return nullptr;
   }
   bool aclOk = File_DoesVolumeSupportAcls(base.get());
   std::string user;
   if (!FilePlat_UserName(&user)) {
      LogHook_Warning("%s: GetUserName failed.\n", "File_GetSafeTmpDir");
      return nullptr;
   }
   UtilCString result(
      Str_Asprintf(nullptr, "%s" DIRSEPS "%s-%s", base.get(), FILE_TMP_PREFIX, user.c_str()));
   if (result == nullptr) {
      LogHook_Warning("%s: Out of memory error.\n", "File_GetSafeTmpDir");
      return nullptr;
   }
   if (!FileAcceptSafeDir(result.get(), aclOk)) {
      result.reset(FileFindExistingSafeTmpDir(base.get(), aclOk, user.c_str()));
      if (result == nullptr) {
         result.reset(FileCreateSafeTmpDir(aclOk, user.c_str(), base.get()));
      }
   }
   if (result != nullptr) {
      std::free(fileSafeTmpDirCache);
      fileSafeTmpDirCache = Util_SafeStrdup(result.get());
   }
   return result.release();
}

}  // namespace

char *
File_GetSafeTmpDir(bool useConf)
{
   MXUserExclLock *lock = MXUser_CreateSingletonExclLock(&fileSafeTmpDirLock,
                                                         "getSafeTmpDirLock", 0xf0007020);
   if (lock == nullptr) {
      NOT_IMPLEMENTED();
   }
   MXUser_AcquireExclLock(lock);
   char *result = FileGetSafeTmpDirLocked(useConf);
   MXUser_ReleaseExclLock(lock);
   return result;
}
