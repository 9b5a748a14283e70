// Thin platform layer under the file library.
//
// Each function stands for one platform file call and reports failure the
// way the portable code expects: a false, invalid or negative result with
// the thread's last error (FilePlat_LastError) set. The POSIX back end
// (filePosix.cpp) uses open/read/write/lseek/rename/unlink and friends,
// with errno as the last error; the Windows one (fileWin32.cpp,
// fileNameWin32.cpp) CreateFileW and relatives, with GetLastError's.
// Every call passes through the failure seam of lib/misc/platFault.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/file/fileTypes.h"
#include "lib/misc/utilScoped.h"

// The platform layer speaks in the library's own handle and record types.
typedef FileHandle FilePlatHandle;
constexpr FilePlatHandle FILEPLAT_INVALID_HANDLE = FILE_INVALID_HANDLE;
typedef FileIOPiece FilePlatPiece;
constexpr int FILEPLAT_MAX_PIECES = FILEIO_MAX_PIECES;
typedef FileId FilePlatFileId;

// Platform error codes the portable code sets or tests for.
extern const int FILEPLAT_ERR_NOT_FOUND;          // no such file
extern const int FILEPLAT_ERR_PATH_NOT_FOUND;     // a directory of the path is missing
extern const int FILEPLAT_ERR_ACCESS_DENIED;
extern const int FILEPLAT_ERR_SHARING_VIOLATION;  // file held by another process
extern const int FILEPLAT_ERR_EXISTS;
extern const int FILEPLAT_ERR_NAME_TOO_LONG;
extern const int FILEPLAT_ERR_OPEN_NAME_TOO_LONG; // left by an open refused for length
extern const int FILEPLAT_ERR_INVALID_ADDRESS;    // a null path
extern const int FILEPLAT_ERR_INVALID_PARAMETER;
extern const int FILEPLAT_ERR_NO_MORE_FILES;      // end of a directory listing
extern const int FILEPLAT_ERR_LOCK_VIOLATION;     // a lock wait ran out
extern const int FILEPLAT_ERR_IS_LINK;            // an open below a directory met a link

/*
 * What a platform error means to the portable code. Several platform codes
 * may share a class (POSIX reports a denied access as EACCES or EPERM).
 * Only ACCESS_DENIED and SHARING_VIOLATION are worth retrying; NO_PERM
 * covers refusals that waiting cannot cure (a read-only medium).
 */
enum FilePlatErrClass {
   FILEPLAT_EC_OTHER,
   FILEPLAT_EC_NOT_FOUND,
   FILEPLAT_EC_ACCESS_DENIED,
   FILEPLAT_EC_NO_PERM,
   FILEPLAT_EC_SHARING_VIOLATION,
   FILEPLAT_EC_EXISTS,
   FILEPLAT_EC_NAME_TOO_LONG,
   FILEPLAT_EC_NO_SPACE,
   FILEPLAT_EC_QUOTA,
   FILEPLAT_EC_TOO_BIG,
};
FilePlatErrClass FilePlat_ErrorClass(int err);

/*
 * The platform's half of the table from platform errors to errno-style
 * codes; FileMapPlatformError (file.cpp) looks codes up here and handles
 * success and codes missing from the table.
 */
struct FilePlatErrnoRow {
   int platErr;
   int errnoCode;
};
extern const FilePlatErrnoRow FILEPLAT_ERRNO_TABLE[];
extern const size_t FILEPLAT_ERRNO_TABLE_SIZE;
/*
 * The one way from a platform error to an errno-style code: sets err as
 * the last error and returns its code by the table (0 for 0; EIO, with a
 * log line naming the caller `name`, for a code the table lacks).
 */
int FileMapPlatformError(const char *name, int err);

// The units of FilePlatAttrs' times in a second.
extern const int64_t FILEPLAT_TIME_UNITS_PER_SEC;

// Whether "C:" at the start of a path names a volume on this platform.
extern const bool FILEPLAT_DRIVE_LETTERS;
// Whether a backslash separates path components, and whether a path that
// starts with two separators names a network volume ("//server/share").
extern const bool FILEPLAT_BACKSLASH_SEPARATES;
extern const bool FILEPLAT_NETWORK_VOLUMES;

int FilePlat_LastError();
void FilePlat_SetLastError(int err);
const char *FilePlat_ErrorText(int err);

// Whether a path is too long for the platform's open without being tried.
bool FilePlat_PathTooLong(const char *path);

/*
 * One open. access holds the FILEIO_ACCESS_* and related bits of
 * fileIO.h (share-mode bits are accepted; POSIX has no share modes),
 * disposition one FILEIO_ACTION_* value, mode the permission bits of a
 * file the call creates (0: the platform default).
 */
FilePlatHandle FilePlat_Open(const char *path, uint32_t access,
                             int disposition, int mode);
/*
 * Walks that must stay inside a tree. OpenDirHandle opens a directory by
 * path (links followed: the tree's root is the caller's choice).
 * OpenSubdir opens `name` directly below `parent`, making it first when
 * missing and `create` is set, and fails (ELOOP or ENOTDIR on POSIX) when
 * `name` is a symbolic link. OpenAt is Open for a name below `dir` that
 * is never a link either. CloseHandle closes any of them and keeps the
 * last error.
 */
FilePlatHandle FilePlat_OpenDirHandle(const char *path);
FilePlatHandle FilePlat_OpenSubdir(FilePlatHandle parent, const char *name, bool create,
                                   int mode);
FilePlatHandle FilePlat_OpenAt(FilePlatHandle dir, const char *name, uint32_t access,
                               int disposition, int mode);
void FilePlat_CloseHandle(FilePlatHandle h);
// The sole owner of a handle of the calls above, closed with its scope.
struct FilePlatHandleTraits {
   using Type = FilePlatHandle;
   static Type Invalid() { return FILEPLAT_INVALID_HANDLE; }
   static bool IsValid(Type h) { return h != FILEPLAT_INVALID_HANDLE; }
   static void Release(Type h) { FilePlat_CloseHandle(h); }
};
using FilePlatOwnedHandle = UtilOwned<FilePlatHandleTraits>;
// Sets the permission bits of an open file.
bool FilePlat_SetMode(FilePlatHandle h, int mode);
// The bits that the process's creation mask takes from a new file's mode.
int FilePlat_CreationMask();

/*
 * One transfer at `offset`. got receives the bytes read (0 at the end of
 * the file); put the bytes written, also when the call fails. A handle
 * opened with FILEIO_APPEND writes at the end whatever the offset.
 */
bool FilePlat_ReadAt(FilePlatHandle h, void *buf, size_t count, int64_t offset,
                     size_t *got);
bool FilePlat_WriteAt(FilePlatHandle h, const void *buf, size_t count,
                      int64_t offset, size_t *put);
/*
 * One gathering transfer of n pieces (at most FILEPLAT_MAX_PIECES) to
 * consecutive bytes from `offset`; put receives the bytes written, also
 * when the call fails.
 */
bool FilePlat_WriteVAt(FilePlatHandle h, const FilePlatPiece *pieces, int n, int64_t offset,
                       size_t *put);
/*
 * The position a seek leads to: `offset` from the start, from `current`
 * (the caller's position) or from the end of the file, which only the
 * last asks the file system for. -1 with the last error set on failure.
 */
int64_t FilePlat_Seek(FilePlatHandle h, int64_t offset, int origin,
                      int64_t current);

/*
 * Portable pieces of the two calls above, for the back ends (fileIO.cpp).
 * FilePiecesTotal: the bytes of n pieces; false, with the last error set,
 * when n is more than one transfer takes. FileSeekTarget: where a seek
 * from the start or from `current` lands, which needs no system call; -1
 * when before the start, past the range or from the end.
 */
bool FilePiecesTotal(const FilePlatPiece *pieces, int n, size_t *total);
int64_t FileSeekTarget(int64_t offset, int origin, int64_t current);
/*
 * Closes h. path and access are those of the open, for platforms that
 * carry out FILEIO_DELETE_ON_CLOSE themselves. The handle is released
 * even when the call reports failure.
 */
bool FilePlat_Close(FilePlatHandle h, const char *path, uint32_t access);

// Name operations: true on success, else false with the last error set.
bool FilePlat_Rename(const char *from, const char *to);  // replaces `to`
bool FilePlat_Delete(const char *path);
bool FilePlat_CreateDirectory(const char *path, int mode);
bool FilePlat_RemoveDirectory(const char *path);

struct FilePlatAttrs {
   // In the platform's own unit: seconds since the epoch on POSIX, Windows
   // file time (100 ns since 1601) on Windows.
   int64_t accessTime;
   int64_t creationTime;
   int64_t writeTime;
   uint64_t size;
   bool isDirectory;
   bool readOnly;
};
// attrs may be null to test for existence.
bool FilePlat_GetAttributes(const char *path, FilePlatAttrs *attrs);

// What a name itself is, without following a symbolic link.
enum FilePlatFileType {
   FILEPLAT_TYPE_REGULAR,
   FILEPLAT_TYPE_DIRECTORY,
   FILEPLAT_TYPE_LINK,
   FILEPLAT_TYPE_OTHER,  // device, pipe, socket
};
bool FilePlat_GetFileType(const char *path, FilePlatFileType *type);
// What the path names, links followed.
bool FilePlat_GetTargetType(const char *path, FilePlatFileType *type);
/*
 * Whether anybody but the file's owner may read the file at path (links
 * followed): on POSIX a group or other read bit, on Windows a grant of
 * reading to anyone but SYSTEM, the Administrators and the user the
 * process runs as. True when the
 * answer was had, with *others set.
 */
bool FilePlat_OthersMayRead(const char *path, bool *others);

/*
 * Which file a handle or a name stands for, and how many names the file
 * has (0 once every name of an open file is gone). IdentityAt looks at
 * `name` directly below `dir` and never follows a link; DeleteAt removes
 * that name (a link itself, never what it points at).
 */
bool FilePlat_GetIdentity(FilePlatHandle h, FilePlatFileId *id, uint64_t *links);
bool FilePlat_GetIdentityAt(FilePlatHandle dir, const char *name, FilePlatFileId *id);
bool FilePlat_DeleteAt(FilePlatHandle dir, const char *name);
// Whether the path (links followed) names a block device. The POSIX back
// end's only: Windows tells its disks by their names.
bool FilePlat_IsBlockDevice(const char *path);

/*
 * A directory listing: open, then read names until the read fails with
 * FILEPLAT_ERR_NO_MORE_FILES (or another error), then close. "." and ".."
 * are returned like any other name.
 */
struct FilePlatDir;
FilePlatDir *FilePlat_OpenDir(const char *path);
bool FilePlat_ReadDir(FilePlatDir *dir, std::string *name);
bool FilePlat_CloseDir(FilePlatDir *dir);  // frees dir in every case

// Absolute form of path (null: the current directory), without touching
// the named file.
bool FilePlat_FullPath(const char *path, std::string *out);
// Whether two existing paths name the same file.
bool FilePlat_SameFile(const char *a, const char *b);
// Whether the calling process may create files in the directory.
bool FilePlat_IsWritableDir(const char *path);
// Whether the volume whose root is given keeps access-control information.
bool FilePlat_VolumeSupportsAcls(const char *root, bool *supports);

void FilePlat_SleepMs(uint32_t ms);

/*
 * Pieces of the safe temporary directory (fileTmpDir.cpp). TmpBase gives
 * the process's temporary path as the environment names it (TMPDIR, else
 * /tmp), unchecked; LocalAppData the user's local application-data
 * directory ($XDG_CACHE_HOME, else $HOME/.cache); UserName the name of the
 * user the process runs as.
 */
bool FilePlat_TmpBase(std::string *out);
bool FilePlat_LocalAppData(std::string *out);
bool FilePlat_UserName(std::string *out);
/*
 * MakeSafeDirectory creates path (trailing separators ignored) so that
 * only the current user can reach it, whatever the parent would pass on
 * to it; false, with a log line and the last error set, when it cannot be
 * made or made private. IsDirectorySafe tells whether path is a real
 * directory, not a link, owned by the user and opening nothing to anybody
 * else; each failed test is logged.
 */
bool FilePlat_MakeSafeDirectory(const char *path);
bool FilePlat_IsDirectorySafe(const char *path);
