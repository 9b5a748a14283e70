// The file library's own helpers, shared by its sources (and their tests):
// the retrying primitives under the public path operations, the open with
// a retry budget, random waits, and the text of an errno-style code.
#pragma once

#include <cstdint>

#include "lib/file/fileIO.h"

// File type, in FileAttrs::type.
enum { FILE_TYPE_REGULAR = 0, FILE_TYPE_DIRECTORY = 1 };

struct FileAttrs {
   int64_t accessTime;
   int64_t creationTime;
   int64_t writeTime;
   uint64_t size;
   int32_t type;
   int32_t mode;
   int32_t reserved1;
   int32_t reserved2;
};

/*
 * Each retries transient sharing and access failures for msecMaxWait
 * milliseconds of sleeping, returns 0 or an errno-style code and leaves
 * the platform's code of the last attempt as the last error.
 */
int FileDeletionRetry(const char *path, bool handleLink, uint32_t msecMaxWait);
int FileCreateDirectoryRetry(const char *path, int mode, uint32_t msecMaxWait);
int FileRemoveDirectoryRetry(const char *path, uint32_t msecMaxWait);
int FileAttributesRetry(const char *path, uint32_t msecMaxWait, FileAttrs *attrs);
// Returns the number of entries (names, if given, receives a malloc'd array
// of malloc'd strings) or -1.
int FileListDirectoryRetry(const char *path, uint32_t msecMaxWait, char ***names);

FileIOStatus FileIOCreateRetry(FileIOFile *file, const char *path, uint32_t access,
                               FileIOOpenAction action, int mode, uint32_t msecMaxWait);
void FileIOResolveLockFlags(uint32_t *access);

bool FileIsWritableDir(const char *path);
int FileFindSeparator(const char *path, int start);
uint32_t FileSimpleRandom();
uint32_t FileRandomSleep(uint32_t minMs, uint32_t maxMs);

/*
 * The text of an errno-style code, as the runtime words it, whatever the
 * platform (File_ErrorText words the platform's own codes).
 */
const char *FileErrnoText(int err);
