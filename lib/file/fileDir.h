// Work below an open directory and on open handles: listing, opening and
// removing what lies directly below a directory handle (never through a
// link), appends that land whole or not at all, the size of an open file,
// the free space of a file system, and whether a path names a program.
//
// Each call returns 0 or an errno-style code, and leaves the platform's
// error behind a failure as the last error (File_LastError), for printing
// with File_ErrorText.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/file/fileIO.h"
#include "lib/file/fileTypes.h"

/*
 * Opens `path` for appending, creating it with `mode` when missing; a link
 * by that name is refused. Every FileIO_AppendWhole is one write at the
 * end, so that the lines of several writers never mix. Close the handle
 * with FileIO_CloseHandle.
 */
int FileIO_OpenAppend(const char *path, int mode, FileHandle *file);
/*
 * Appends all `length` bytes, or none: what a full file system took of
 * them is cut back, and the call fails with ENOSPC.
 */
int FileIO_AppendWhole(FileHandle file, const void *data, size_t length);
// Closes a handle of FileIO_OpenAppend (FILE_INVALID_HANDLE is ignored); keeps the last error.
void FileIO_CloseHandle(FileHandle file);
// The size of the open file of a record.
int FileIO_GetSize(const FileIOFile *file, uint64_t *size);

// Bytes an unprivileged writer may still use on the file system of `path`.
int File_FreeBytes(const char *path, uint64_t *freeBytes);

// What File_CheckProgram finds.
enum FileProgramCheck {
   FILE_PROGRAM_OK,
   FILE_PROGRAM_RELATIVE,        // not a full path
   FILE_PROGRAM_MISSING,         // nothing by that name, or it cannot be reached
   FILE_PROGRAM_NOT_FILE,        // a directory, a device ...
   FILE_PROGRAM_NOT_EXECUTABLE,  // a file that cannot be run
};
/*
 * Whether `path` names a program that can be started wherever the process
 * runs from: a full path to a regular file (a link to one will do) that
 * may be executed; on Windows a program (.exe, .com) or a batch file
 * (.cmd, .bat). *err receives the errno-style code behind
 * FILE_PROGRAM_MISSING, 0 otherwise.
 */
FileProgramCheck File_CheckProgram(const char *path, int *err);

// One entry of a directory, as it is, no link followed.
struct FileDirEntry {
   char name[256];
   bool isDir;
   bool isFile;  // a regular file
   // The owner's write bit; on Windows, the read-only attribute's absence.
   bool ownerWritable;
   int64_t mtimeSec;   // since 1970
   int64_t mtimeNsec;  // within that second
   uint64_t size;
   FileId id;  // for File_RemoveAtIfSame
};

/*
 * Opens the directory `name` directly below `dir` (a handle of
 * File_OpenDirTree or of this call), refusing a link by that name. Close
 * it with File_CloseDirHandle.
 */
int File_OpenDirAt(FileHandle dir, const char *name, FileHandle *sub);
/*
 * Appends the entries of an open directory other than "." and ".." to
 * *entries. An entry that goes while it is listed is left out.
 */
int File_ListDirAt(FileHandle dir, std::vector<FileDirEntry> *entries);
// Removes the empty directory `name` directly below `dir`.
int File_RemoveDirAt(FileHandle dir, const char *name);
