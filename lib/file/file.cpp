// Path and directory operations of the file library; see file.h.
//
// Only the platform layer (filePlatform.h) touches the operating system;
// this file holds the retry loops and their budgets, the mapping of
// platform errors to errno-style codes, the directory-chain creation and
// the path string handling.
#include "lib/file/file.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/file/fileInt.h"
#include "lib/file/filePlatform.h"
#include "lib/lock/ul.h"
#include "lib/misc/hostinfo.h"
#include "lib/misc/logHook.h"
#include "lib/misc/panic.h"
#include "lib/misc/random.h"

namespace {

// Sleep bounds of one retry, in milliseconds.
constexpr uint32_t FILE_RETRY_MIN_MS = 10;
constexpr uint32_t FILE_RETRY_MAX_MS = 100;

bool
FileIsSeparator(char c)
{
   return c == '/' || (FILEPLAT_BACKSLASH_SEPARATES && c == '\\');
}

bool
FileIsRetryable(int err)
{
   FilePlatErrClass cls = FilePlat_ErrorClass(err);
   return cls == FILEPLAT_EC_SHARING_VIOLATION ||
          cls == FILEPLAT_EC_ACCESS_DENIED;
}

/*
 * Calls attempt() until it succeeds, fails for a reason other than a
 * transient sharing or access error, or msecMaxWait milliseconds have been
 * slept. Only sleeping counts against the budget. Returns the platform
 * error of the last attempt (0 for success); *expired tells whether the
 * budget was used up.
 */
template <typename Attempt>
int
FileRetry(uint32_t msecMaxWait, bool *expired, Attempt attempt)
{
   uint32_t slept = 0;
   int err;
   for (;;) {
      err = attempt() ? 0 : FilePlat_LastError();
      if (slept >= msecMaxWait || !FileIsRetryable(err)) {
         break;
      }
      slept += FileRandomSleep(FILE_RETRY_MIN_MS, FILE_RETRY_MAX_MS);
   }
   *expired = msecMaxWait != 0 && slept >= msecMaxWait;
   return err;
}

// The retry loop with the expiry line that most primitives log.
template <typename Attempt>
int
FileRetryLogged(const char *name, uint32_t msecMaxWait, Attempt attempt)
{
   bool expired;
   int err = FileRetry(msecMaxWait, &expired, attempt);
   if (expired) {
      LogHook_Log("FILE: %s: retry time expired; last error %d\n", name, err);
   }
   return FileMapPlatformError(name, err);
}

// Length of the text up to the separator after `parts` further components
// from `start`, or to the end of the path.
size_t
FileComponentsEnd(const char *path, size_t start, int parts)
{
   int at = (int)start - 1;
   for (int i = 0; i < parts; i++) {
      at = FileFindSeparator(path, at + 1);
      if (at < 0) {
         return std::strlen(path);
      }
   }
   return (size_t)at;
}

/*
 * Length of the volume of a name in the system's own namespaces: "\\?\"
 * (names taken as they are) and "\\.\" (devices), 0 for other names.
 * The volume is the component after the prefix ("C:", "Volume{...}", a
 * device), or for "\\?\UNC\server\share" the share, as in "\\server\share".
 */
size_t
FileNamespaceVolumeLength(const char *path)
{
   if (!FILEPLAT_NETWORK_VOLUMES || std::strncmp(path, "\\\\", 2) != 0 ||
       (path[2] != '?' && path[2] != '.') || path[3] != '\\') {
      return 0;
   }
   bool unc = path[2] == '?' && (path[4] | 0x20) == 'u' && (path[5] | 0x20) == 'n' &&
              (path[6] | 0x20) == 'c' && (path[7] == '\\' || path[7] == '\0');
   if (unc) {
      return path[7] == '\0' ? 7 : FileComponentsEnd(path, 8, 2);
   }
   return FileComponentsEnd(path, 4, 1);
}

// Length of the volume part of path (see File_SplitPath).
size_t
FileVolumeLength(const char *path)
{
   size_t len = std::strlen(path);
   if (size_t ns = FileNamespaceVolumeLength(path); ns > 0) {
      return ns;
   }
   if (FILEPLAT_NETWORK_VOLUMES && len >= 3 && FileIsSeparator(path[0]) &&
       path[1] == path[0]) {
      int sep = FileFindSeparator(path, 2);
      if (sep < 0) {
         return 0;
      }
      int next = FileFindSeparator(path, sep + 1);
      return next < 0 ? len : (size_t)next;
   }
   if (FILEPLAT_DRIVE_LETTERS && len >= 2 && path[1] == ':') {
      return 2;
   }
   return 0;
}

struct FileSplit {
   std::string volume;
   std::string dir;
   std::string base;
};

FileSplit
FileSplitParts(const char *path)
{
   FileSplit s;
   size_t len = std::strlen(path);
   size_t vol = FileVolumeLength(path);
   size_t c = 0;
   for (size_t i = len; i > 0; i--) {
      if (FileIsSeparator(path[i - 1])) {
         c = i;
         break;
      }
   }
   s.volume.assign(path, vol);
   if (c >= vol) {
      s.base.assign(path + c, len - c);
      s.dir.assign(path + vol, c - vol);
   }
   return s;
}

// Drops trailing separators while more than one character remains.
void
FileTrimSeparators(std::string *s)
{
   while (s->size() > 1 && FileIsSeparator(s->back())) {
      s->pop_back();
   }
}

char *
FileHeapCopy(const std::string &s)
{
   return Util_SafeStrdup(s.c_str());
}

// Hands a new copy to *out when out is given.
void
FileOutput(char **out, const std::string &s)
{
   if (out != nullptr) {
      *out = FileHeapCopy(s);
   }
}

}  // namespace

namespace {

// The table's row of a platform error; null when it has none.
const FilePlatErrnoRow *
FileErrnoRowOf(int err)
{
   for (size_t i = 0; i < FILEPLAT_ERRNO_TABLE_SIZE; i++) {
      if (FILEPLAT_ERRNO_TABLE[i].platErr == err) {
         return &FILEPLAT_ERRNO_TABLE[i];
      }
   }
   return nullptr;
}

}  // namespace

int
File_ErrnoOfPlatformError(int err)
{
   const FilePlatErrnoRow *row = FileErrnoRowOf(err);
   return err == 0 ? 0 : row != nullptr ? row->errnoCode : EIO;
}

int
FileMapPlatformError(const char *name, int err)
{
   if (err != 0 && FileErrnoRowOf(err) == nullptr) {
      LogHook_Log("FILE: %s unmapped error code %d\n", name, err);
   }
   FilePlat_SetLastError(err);
   return File_ErrnoOfPlatformError(err);
}

int
File_RenameRetry(const char *from, const char *to, uint32_t msecMaxWait)
{
   if (from == nullptr || to == nullptr) {
      return FileMapPlatformError("File_RenameRetry",
                                  FILEPLAT_ERR_INVALID_ADDRESS);
   }
   return FileRetryLogged("File_RenameRetry", msecMaxWait,
                          [&] { return FilePlat_Rename(from, to); });
}

int
FileDeletionRetry(const char *path, bool handleLink, uint32_t msecMaxWait)
{
   (void)handleLink;  // a symbolic link is always removed itself
   if (path == nullptr) {
      return FileMapPlatformError("FileDeletionRetry",
                                  FILEPLAT_ERR_INVALID_ADDRESS);
   }
   return FileRetryLogged("FileDeletionRetry", msecMaxWait,
                          [&] { return FilePlat_Delete(path); });
}

int
FileCreateDirectoryRetry(const char *path, int mode, uint32_t msecMaxWait)
{
   if (path == nullptr) {
      return FileMapPlatformError("FileCreateDirectoryRetry",
                                  FILEPLAT_ERR_INVALID_ADDRESS);
   }
   if (FilePlat_PathTooLong(path)) {
      errno = ENAMETOOLONG;
      FilePlat_SetLastError(FILEPLAT_ERR_NAME_TOO_LONG);
      return ENAMETOOLONG;
   }
   return FileRetryLogged("FileCreateDirectoryRetry", msecMaxWait,
                          [&] { return FilePlat_CreateDirectory(path, mode); });
}

int
FileRemoveDirectoryRetry(const char *path, uint32_t msecMaxWait)
{
   if (path == nullptr) {
      return FileMapPlatformError("FileRemoveDirectoryRetry",
                                  FILEPLAT_ERR_INVALID_ADDRESS);
   }
   return FileRetryLogged("FileRemoveDirectoryRetry", msecMaxWait,
                          [&] { return FilePlat_RemoveDirectory(path); });
}

int
FileAttributesRetry(const char *path, uint32_t msecMaxWait, FileAttrs *attrs)
{
   if (path == nullptr) {
      return FileMapPlatformError("FileAttributesRetry",
                                  FILEPLAT_ERR_INVALID_ADDRESS);
   }
   FilePlatAttrs plat;
   bool expired;
   int err = FileRetry(msecMaxWait, &expired,
                       [&] { return FilePlat_GetAttributes(path, &plat); });
   if (err == 0 && attrs != nullptr) {
      attrs->accessTime = plat.accessTime;
      attrs->creationTime = plat.creationTime;
      attrs->writeTime = plat.writeTime;
      attrs->size = plat.size;
      attrs->type = plat.isDirectory ? FILE_TYPE_DIRECTORY : FILE_TYPE_REGULAR;
      if (plat.isDirectory) {
         attrs->mode = plat.readOnly ? 0555 : 0777;
      } else {
         attrs->mode = plat.readOnly ? 0444 : 0666;
      }
      attrs->reserved1 = 0;
      attrs->reserved2 = 0;
   }
   return FileMapPlatformError("FileAttributesRetry", err);
}

int
FileListDirectoryRetry(const char *path, uint32_t msecMaxWait, char ***names)
{
   if (path == nullptr) {
      FilePlat_SetLastError(FILEPLAT_ERR_INVALID_ADDRESS);
      return -1;
   }
   FilePlatDir *dir = nullptr;
   bool expired;
   int err = FileRetry(msecMaxWait, &expired, [&] {
      dir = FilePlat_OpenDir(path);
      return dir != nullptr;
   });
   if (expired) {
      LogHook_Log("FILE: %s: retry time expired (%s); last error %d\n",
                  "FileListDirectoryRetry", path, err);
   }
   if (dir == nullptr) {
      FilePlat_SetLastError(err);
      return -1;
   }

   std::vector<std::string> found;
   std::string name;
   while (FilePlat_ReadDir(dir, &name)) {
      if (name != "." && name != "..") {
         found.push_back(name);
      }
   }
   err = FilePlat_LastError();
   if (!FilePlat_CloseDir(dir)) {
      LogHook_Log("FILE: %s: FindClose failure (%d) on (%s)\n",
                  "FileListDirectoryRetry", FilePlat_LastError(), path);
   }
   if (err != FILEPLAT_ERR_NO_MORE_FILES) {
      LogHook_Log("FILE: %s: FindNextFile failure (%d) on (%s)\n",
                  "FileListDirectoryRetry", err, path);
      FilePlat_SetLastError(err);
      return -1;
   }
   if (names != nullptr) {
      *names = nullptr;
      if (!found.empty()) {
         *names = static_cast<char **>(
            Util_SafeMalloc(found.size() * sizeof(char *)));
         for (size_t i = 0; i < found.size(); i++) {
            (*names)[i] = FileHeapCopy(found[i]);
         }
      }
   }
   FilePlat_SetLastError(err);
   return (int)found.size();
}

int
File_Rename(const char *from, const char *to)
{
   return File_RenameRetry(from, to, 0);
}

int
File_Remove(const char *path)
{
   return FileDeletionRetry(path, false, 0) == 0 ? 0 : -1;
}

bool
File_MakeDir(const char *path)
{
   int err = FileCreateDirectoryRetry(path, 0777, 0);
   return err == 0 || err == EEXIST;
}

bool
File_MakeDirTree(const char *path, char **firstCreated)
{
   if (firstCreated != nullptr) {
      *firstCreated = nullptr;
   }
   if (path == nullptr || path[0] == '\0') {
      return true;
   }
   size_t len = std::strlen(path);
   size_t vol = FileVolumeLength(path);
   if (vol >= len) {
      return File_IsDir(path);
   }

   // The separator right after the volume is never a cut: the first prefix
   // is the first directory below it.
   int p = (int)vol;
   do {
      p = FileFindSeparator(path, p + 1);
      std::string prefix(path, p < 0 ? len : (size_t)p);
      FileAttrs attrs;
      if (FileAttributesRetry(prefix.c_str(), 0, &attrs) != 0 ||
          attrs.type != FILE_TYPE_DIRECTORY) {
         if (FileCreateDirectoryRetry(prefix.c_str(), 0777, 0) != 0) {
            return false;
         }
         if (firstCreated != nullptr && *firstCreated == nullptr) {
            *firstCreated = FileHeapCopy(prefix);
         }
      }
   } while (p >= 0);
   return true;
}

namespace {

// Opens each level below `dir` in turn, never through a link; consumes dir.
FilePlatHandle
FileOpenLevels(FilePlatHandle dir, const char *const *levels, size_t count, bool create,
               int mode)
{
   FilePlatOwnedHandle level(dir);
   for (size_t i = 0; i < count && level; i++) {
      level.Reset(FilePlat_OpenSubdir(level.Get(), levels[i], create, mode));
   }
   return level.Take();
}

}  // namespace

FilePlatHandle
File_OpenDirTree(const char *root, const char *const *levels, size_t count, int mode)
{
   FilePlatHandle dir = FilePlat_OpenDirHandle(root);
   if (dir == FILEPLAT_INVALID_HANDLE &&
       FilePlat_ErrorClass(FilePlat_LastError()) == FILEPLAT_EC_NOT_FOUND &&
       File_MakeDirTree(root, nullptr)) {
      dir = FilePlat_OpenDirHandle(root);
   }
   return FileOpenLevels(dir, levels, count, true, mode);
}

FilePlatHandle
File_OpenExistingDirTree(const char *root, const char *const *levels, size_t count)
{
   return FileOpenLevels(FilePlat_OpenDirHandle(root), levels, count, false, 0);
}

int
File_RemoveAtIfSame(FilePlatHandle dir, const char *name, const FilePlatFileId *id)
{
   FilePlatFileId now;
   if (!FilePlat_GetIdentityAt(dir, name, &now)) {
      return FileMapPlatformError("File_RemoveAtIfSame", FilePlat_LastError());
   }
   if (now.device != id->device || now.inode != id->inode) {
      FilePlat_SetLastError(ESTALE);
      return ESTALE;
   }
   if (!FilePlat_DeleteAt(dir, name)) {
      return FileMapPlatformError("File_RemoveAtIfSame", FilePlat_LastError());
   }
   return 0;
}

void
File_CloseDirHandle(FileHandle dir)
{
   FilePlat_CloseHandle(dir);
}

int
File_LastError()
{
   return FilePlat_LastError();
}

void
File_SetLastError(int err)
{
   FilePlat_SetLastError(err);
}

const char *
File_ErrorText(int err)
{
   return FilePlat_ErrorText(err);
}

const char *
FileErrnoText(int err)
{
   return std::strerror(err);
}

int
File_CreationMask()
{
   return FilePlat_CreationMask();
}

int
File_CheckRegular(const char *path)
{
   FilePlatFileType type;
   if (!FilePlat_GetTargetType(path, &type)) {
      return FileMapPlatformError("File_CheckRegular", FilePlat_LastError());
   }
   if (type == FILEPLAT_TYPE_REGULAR) {
      return 0;
   }
   int err = type == FILEPLAT_TYPE_DIRECTORY ? EISDIR : EINVAL;
   FilePlat_SetLastError(err);
   return err;
}

int
File_CheckPrivate(const char *path)
{
   bool others = false;
   if (!FilePlat_OthersMayRead(path, &others)) {
      return FileMapPlatformError("File_CheckPrivate", FilePlat_LastError());
   }
   if (!others) {
      return 0;
   }
   FilePlat_SetLastError(EACCES);
   return EACCES;
}

bool
File_PathExists(const char *path)
{
   if (path == nullptr) {
      FilePlat_SetLastError(FILEPLAT_ERR_INVALID_ADDRESS);
      return false;
   }
   return FilePlat_GetAttributes(path, nullptr);
}

bool
File_IsDir(const char *path)
{
   FileAttrs attrs;
   return FileAttributesRetry(path, 0, &attrs) == 0 &&
          attrs.type == FILE_TYPE_DIRECTORY;
}

int
File_ListDir(const char *path, char ***names)
{
   return FileListDirectoryRetry(path, 0, names);
}

char *
File_FullPath(const char *path)
{
   std::string full;
   if (!FilePlat_FullPath(path, &full)) {
      LogHook_Warning("FILE: %s:  _wfullpath failed on (%s): %d\n", "File_FullPath",
                      path == nullptr ? "" : path, FilePlat_LastError());
      return nullptr;
   }
   return FileHeapCopy(full);
}

int
FileFindSeparator(const char *path, int start)
{
   for (int i = start; i >= 0 && path[i] != '\0'; i++) {
      if (FileIsSeparator(path[i])) {
         return i;
      }
   }
   return -1;
}

void
File_SplitPath(const char *path, char **volume, char **dir, char **base)
{
   FileSplit s = FileSplitParts(path);
   FileOutput(volume, s.volume);
   FileOutput(dir, s.dir);
   FileOutput(base, s.base);
}

void
File_DirAndBase(const char *path, char **dir, char **base)
{
   FileSplit s = FileSplitParts(path);
   std::string d = s.volume + s.dir;
   FileTrimSeparators(&d);
   FileOutput(dir, d);
   FileOutput(base, s.base);
}

char *
File_StripSeparators(const char *path)
{
   FileSplit s = FileSplitParts(path);
   if (!s.dir.empty() && s.base.empty()) {
      FileTrimSeparators(&s.dir);
   }
   return FileHeapCopy(s.volume + s.dir + s.base);
}

char *
File_JoinPath(const char *dir, const char *name)
{
   char *stripped = File_StripSeparators(dir);
   std::string joined(stripped);
   std::free(stripped);
   // A root directory keeps its one separator: "/" and "x" give "/x", not
   // "//x", which would read as a network volume.
   if (joined.empty() || !FileIsSeparator(joined.back())) {
      joined += DIRSEPS;
   }
   joined += name;
   return FileHeapCopy(joined);
}

bool
File_SameFile(const char *a, const char *b)
{
   if (a == nullptr || b == nullptr) {
      return false;
   }
   if (std::strcmp(a, b) == 0) {
      return true;
   }
   FilePlatAttrs attrsA, attrsB;
   if (!FilePlat_GetAttributes(a, &attrsA) ||
       !FilePlat_GetAttributes(b, &attrsB) ||
       attrsA.isDirectory != attrsB.isDirectory) {
      return false;
   }
   return FilePlat_SameFile(a, b);
}

bool
FileIsWritableDir(const char *path)
{
   FilePlatAttrs attrs;
   if (path == nullptr || !FilePlat_GetAttributes(path, &attrs) ||
       !attrs.isDirectory) {
      return false;
   }
   return FilePlat_IsWritableDir(path);
}

bool
File_DoesVolumeSupportAcls(const char *path)
{
   FileSplit s = FileSplitParts(path);
   std::string root = s.volume + DIRSEPS;
   bool supports = false;
   if (!FilePlat_VolumeSupportsAcls(root.c_str(), &supports)) {
      LogHook_Log("FILE: %s: GetVolumeInformation failed: %d\n",
                  "File_DoesVolumeSupportAcls", FilePlat_LastError());
      return false;
   }
   return supports;
}

namespace {

std::atomic<MXUserExclLock *> fileRandomLock{nullptr};
RandomSimpleState *fileRandomState = nullptr;  // guarded by fileRandomLock
uint32_t fileRandomPid = 0;                     // the process that seeded it

}  // namespace

uint32_t
FileSimpleRandom()
{
   MXUserExclLock *lock = MXUser_CreateSingletonExclLock(
      &fileRandomLock, "fileSimpleRandomLock", 0xff000000);
   if (lock == nullptr) {
      NOT_IMPLEMENTED();
   }
   MXUser_AcquireExclLock(lock);
   // A forked child has a copy of its parent's stream: drawing the same
   // lock member numbers and sleeps as its parent, it would collide with
   // it. A new process id means a new seed.
   uint32_t pid = (uint32_t)Hostinfo_ProcessId();
   if (fileRandomState == nullptr || fileRandomPid != pid) {
      Random_SimpleDestroy(fileRandomState);
      fileRandomState = Random_SimpleCreate(pid);
      fileRandomPid = pid;
   }
   uint32_t r = Random_SimpleNext(fileRandomState);
   MXUser_ReleaseExclLock(lock);
   return r;
}

uint32_t
FileRandomSleep(uint32_t minMs, uint32_t maxMs)
{
   uint32_t ms = minMs;
   if (minMs != maxMs) {
      float fraction = (float)FileSimpleRandom() / 4294967296.0f;
      ms = (uint32_t)(fraction * (float)(maxMs - minMs)) + minMs;
   }
   FilePlat_SleepMs(ms);
   return ms;
}
