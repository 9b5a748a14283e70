// File handles with portable result codes.
//
// An open-file record carries the platform handle with the access flags,
// the name and the advisory lock it was opened with. One open turns
// portable access flags and an open action into a single platform open,
// retrying for a bounded time while another process holds the file; reads
// and writes move exact byte counts; every operation reports a
// FileIOStatus whose message FileIO_MsgError gives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/file/fileTypes.h"
#include "lib/misc/utilScoped.h"

typedef int FileIOStatus;
enum {
   FILEIO_SUCCESS = 0,
   FILEIO_CANCELLED = 1,
   FILEIO_ERROR = 2,
   FILEIO_EXISTS = 3,
   FILEIO_LOCK_ERROR = 4,
   FILEIO_EOF = 5,
   FILEIO_NOT_FOUND = 6,
   FILEIO_NO_PERM = 7,
   FILEIO_NAME_LONG = 8,
   FILEIO_FBIG = 9,
   FILEIO_NOSPC = 10,
   FILEIO_DQUOT = 11,
   FILEIO_CODE_LIMIT = 12,
};

// Access flags.
enum : uint32_t {
   FILEIO_ACCESS_READ = 0x1,
   FILEIO_ACCESS_WRITE = 0x2,
   FILEIO_SYNC_WRITES = 0x4,
   FILEIO_DELETE_ON_CLOSE = 0x8,
   FILEIO_UNBUFFERED = 0x10,
   FILEIO_LOCK_AUTO = 0x20,
   FILEIO_ASYNC = 0x40,
   FILEIO_DENY_READ = 0x200,
   FILEIO_DENY_WRITE = 0x400,
   FILEIO_SEQUENTIAL = 0x800,
   FILEIO_LOCK_MANDATORY_REQ = 0x2000,
   FILEIO_APPEND = 0x20000,
   FILEIO_SHARE_DELETE = 0x80000,
   FILEIO_LOCK_ADVISORY = 0x100000,
   FILEIO_LOCK_MANDATORY = 0x200000,
};

// Open actions.
typedef int FileIOOpenAction;
enum {
   FILEIO_ACTION_OPEN = 0,
   FILEIO_ACTION_TRUNCATE = 1,
   FILEIO_ACTION_OPEN_OR_CREATE = 2,
   FILEIO_ACTION_CREATE_NEW = 3,
   FILEIO_ACTION_CREATE_ALWAYS = 4,
};

// Seek origins.
typedef int FileIOSeekOrigin;
enum {
   FILEIO_SEEK_BEGIN = 0,
   FILEIO_SEEK_CURRENT = 1,
   FILEIO_SEEK_END = 2,
};

// Budget of the advisory lock wait taken by an open, in milliseconds.
constexpr uint32_t FILEIO_LOCK_WAIT_MS = 2500;

struct FileLockToken;

struct FileIOFile {
   FileHandle handle;         // FILE_INVALID_HANDLE when closed
   uint32_t flags;            // access flags of the open, locks resolved
   char *fileName;            // own copy of the path while open
   FileLockToken *lockToken;  // advisory lock held while open, or null
   /*
    * Where the next read or write starts. The record keeps the position
    * itself so that a seek costs no system call and each transfer is one
    * positioned call.
    */
   int64_t position;
};

int FileIO_InitFile(FileIOFile *file);
bool FileIO_IsValid(const FileIOFile *file);

FileIOStatus FileIO_OpenPath(FileIOFile *file, const char *path,
                             uint32_t access, FileIOOpenAction action);
/*
 * Like FileIO_OpenPath but with POSIX permission bits for a file that the
 * open creates (FileIO_OpenPath creates with 0666 less the umask).
 */
FileIOStatus FileIO_OpenPathMode(FileIOFile *file, const char *path,
                                 uint32_t access, FileIOOpenAction action,
                                 int mode);
/*
 * Opens `name` in the directory `dir` (a handle of File_OpenDirTree); a
 * symbolic link by that name is refused, never followed. `path` is the
 * file's full name, which the record keeps.
 */
FileIOStatus FileIO_OpenAtMode(FileIOFile *file, FileHandle dir, const char *name,
                               const char *path, uint32_t access, FileIOOpenAction action,
                               int mode);
/*
 * Writes n pieces (at most FILEIO_MAX_PIECES) one after another from
 * `offset`, with as few system calls as the platform allows, and leaves
 * the position after them. *actual receives the bytes written.
 */
FileIOStatus FileIO_WriteVAt(FileIOFile *file, const FileIOPiece *pieces, int n,
                             uint64_t offset, size_t *actual);
// The status of an open that failed with platform error err.
FileIOStatus FileIO_StatusOfOpenError(int err);
/*
 * Which file an open record stands for, and how many names that file
 * still has: 0 once it was deleted, or its directory removed, while open.
 * False with the last error set on failure.
 */
bool FileIO_GetIdentity(const FileIOFile *file, FileId *id, uint64_t *links);
// Sets the permission bits of an open file; false on failure.
bool FileIO_SetMode(FileIOFile *file, int mode);
FileIOStatus FileIO_CreatePrompt(FileIOFile *file, const char *path,
                                 uint32_t access, int answer);
/*
 * How FileIO_CreatePrompt asks the user: the buttons (null-terminated),
 * the default answer, and a marked question with one "%s" for the path;
 * returns the button chosen. The message library installs its question
 * here when it is loaded, so that the file library needs nothing above it.
 * Without one, a question is answered with its default button.
 */
typedef int (*FileIOQuestionFn)(const char *const buttons[], int defaultAnswer,
                                const char *question, const char *path);
void FileIO_SetQuestionHandler(FileIOQuestionFn ask);

FileIOStatus FileIO_ReadBytes(FileIOFile *file, void *buffer, size_t count,
                              size_t *actual);
FileIOStatus FileIO_WriteBytes(FileIOFile *file, const void *buffer,
                               size_t count, size_t *actual);
int64_t FileIO_SetPos(FileIOFile *file, uint64_t offset,
                      FileIOSeekOrigin origin);

// Both return true on failure; the record is closed in every case.
bool FileIO_CloseFile(FileIOFile *file);
bool FileIO_CloseAndRemove(FileIOFile *file);
// Closes an open record when the scope ends, unless dismissed.
using FileIOClosing = UtilClosing<FileIOFile, FileIO_CloseFile>;

const char *FileIO_MsgError(FileIOStatus status);

FileIOStatus FileIO_Lock(FileIOFile *file, uint32_t access);
FileIOStatus FileIO_Unlock(FileIOFile *file);
