// Thin platform layer under the file library.
//
// Each function stands for one platform file call and reports failure the
// way the portable code expects: a false, invalid or negative result with
// the thread's last error (FilePlat_LastError) set. The POSIX back end
// (filePosix.cpp) uses open/pread/pwrite/rename/unlink with errno as the
// last error; a Windows back end would sit beside it. Every call passes
// through the failure seam of lib/misc/platFault.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef intptr_t FilePlatHandle;
constexpr FilePlatHandle FILEPLAT_INVALID_HANDLE = -1;

// Platform error codes the portable code tests for.
extern const int FILEPLAT_ERR_NOT_FOUND;          // no such file
extern const int FILEPLAT_ERR_PATH_NOT_FOUND;     // a directory of the path is missing
extern const int FILEPLAT_ERR_ACCESS_DENIED;
extern const int FILEPLAT_ERR_SHARING_VIOLATION;  // file held by another process
extern const int FILEPLAT_ERR_EXISTS;
extern const int FILEPLAT_ERR_NAME_TOO_LONG;
extern const int FILEPLAT_ERR_INVALID_ADDRESS;    // a null path
extern const int FILEPLAT_ERR_INVALID_PARAMETER;
extern const int FILEPLAT_ERR_NO_MORE_FILES;

int FilePlat_LastError();
void FilePlat_SetLastError(int err);
const char *FilePlat_ErrorText(int err);

// Whether a path is too long for the platform's open without being tried.
bool FilePlat_PathTooLong(const char *path);

/*
 * One open. access holds the FILEIO_ACCESS_* and related bits of
 * fileIO.h (share-mode bits are accepted; POSIX has no share modes),
 * disposition one FILEIO_ACTION_* value, mode the permission bits of a
 * file the call creates.
 */
FilePlatHandle FilePlat_Open(const char *path, uint32_t access,
                             int disposition, int mode);
bool FilePlat_Read(FilePlatHandle h, void *buf, size_t count, size_t *got);
bool FilePlat_Write(FilePlatHandle h, const void *buf, size_t count,
                    size_t *put);
// Returns the new position, or -1 with the last error set.
int64_t FilePlat_Seek(FilePlatHandle h, int64_t offset, int origin);
bool FilePlat_Close(FilePlatHandle h);

// Name operations: true on success, else false with the last error set.
bool FilePlat_Rename(const char *from, const char *to);  // replaces `to`
bool FilePlat_Delete(const char *path);
bool FilePlat_CreateDirectory(const char *path, int mode);
bool FilePlat_RemoveDirectory(const char *path);

struct FilePlatAttrs {
   int64_t accessTime;    // seconds since the epoch
   int64_t creationTime;
   int64_t writeTime;
   uint64_t size;
   bool isDirectory;
   bool readOnly;
};
bool FilePlat_GetAttributes(const char *path, FilePlatAttrs *attrs);
// Names of a directory's entries without "." and "..".
bool FilePlat_ListDirectory(const char *path, std::vector<std::string> *names);
bool FilePlat_FullPath(const char *path, std::string *out);
bool FilePlat_SameFile(const char *a, const char *b);
// Whether the calling process may create files in the directory.
bool FilePlat_IsWritableDir(const char *path);

void FilePlat_SleepMs(uint32_t ms);
