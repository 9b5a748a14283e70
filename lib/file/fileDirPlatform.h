// The platform calls under fileDir.cpp, in the manner of filePlatform.h:
// each stands for one platform call (or a short fixed sequence of them),
// reports failure by its result with the platform's last error set, and
// passes through the failure seam of lib/misc/platFault.h first. Back
// ends: fileDirPosix.cpp and fileDirWin32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/file/fileDir.h"
#include "lib/file/filePlatform.h"

// Append only, created with `mode` when missing, never through a link.
FilePlatHandle FilePlat_OpenAppend(const char *path, int mode);
/*
 * One write of all `length` bytes at the end. A write that a full file
 * system cut short is undone, and fails with the platform's "disk full".
 */
bool FilePlat_AppendWhole(FilePlatHandle h, const void *data, size_t length);
bool FilePlat_HandleSize(FilePlatHandle h, uint64_t *size);
bool FilePlat_FreeBytes(const char *path, uint64_t *freeBytes);

// Whether a path names a volume's file from its root, whatever the current directory.
bool FilePlat_IsFullPath(const char *path);
// Whether the regular file at `path` may be run by the process.
bool FilePlat_MayExecute(const char *path);

// The entries below `dir`, without "." and "..", appended to *entries.
bool FilePlat_ListDirAt(FilePlatHandle dir, std::vector<FileDirEntry> *entries);
bool FilePlat_RemoveDirAt(FilePlatHandle dir, const char *name);
