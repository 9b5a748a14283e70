// The file library's handle, identity and gather-piece records, shared by
// file.h and fileIO.h. None of them shows a platform type: a handle is an
// opaque integer wide enough for any platform's (a descriptor on POSIX).
#pragma once

#include <cstddef>
#include <cstdint>

typedef intptr_t FileHandle;
constexpr FileHandle FILE_INVALID_HANDLE = -1;

/*
 * Which file a handle or a name stands for: two names or handles stand for
 * the same file exactly when both fields are equal.
 */
struct FileId {
   uint64_t device;
   uint64_t inode;
};

// One piece of a gathering write (FileIO_WriteVAt).
struct FileIOPiece {
   const void *data;
   size_t length;
};
constexpr int FILEIO_MAX_PIECES = 64;
