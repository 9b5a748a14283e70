// File handles with portable result codes; see fileIO.h.
//
// Only the platform layer (filePlatform.h) touches the operating system;
// this file holds the flag resolution, the retrying open, the exact-count
// reads and writes and the mapping of platform errors to FileIOStatus.
#include "lib/file/fileIO.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/file/file.h"
#include "lib/file/fileInt.h"
#include "lib/file/fileLock.h"
#include "lib/file/filePlatform.h"
#include "lib/misc/logHook.h"
#include "lib/misc/panic.h"
#include "lib/misc/msgList.h"  // MSG_MAGIC

namespace {

// Budget of an open that asks for exclusion (FILEIO_LOCK_AUTO or a deny
// bit): another process holding the file briefly should not fail it.
constexpr uint32_t FILEIO_OPEN_RETRY_MS = 2000;
constexpr uint32_t FILEIO_RETRY_MASK =
   FILEIO_LOCK_AUTO | FILEIO_DENY_READ | FILEIO_DENY_WRITE;

// Largest single read or write request.
constexpr size_t FILEIO_MAX_IO = 0x7FFFFFFF;

const char *const fileIOMessages[FILEIO_CODE_LIMIT] = {
   MSG_MAGIC "(msg.fileio.success)Success",
   MSG_MAGIC "(msg.fileio.cancel)The operation was canceled by the user",
   MSG_MAGIC "(msg.fileio.generic)Error",
   MSG_MAGIC "(msg.fileio.exists)The file already exists",
   MSG_MAGIC "(msg.fileio.lock)Failed to lock the file",
   MSG_MAGIC "(msg.fileio.eof)Tried to read beyond the end of the file",
   MSG_MAGIC "(msg.fileio.notfound)Could not find the file",
   MSG_MAGIC "(msg.fileio.noPerm)Insufficient permission to access the file",
   MSG_MAGIC "(msg.fileio.namelong)The file name is too long",
   MSG_MAGIC "(msg.fileio.fBig)The file is too large",
   MSG_MAGIC "(msg.fileio.noSpc)There is no space left on the device",
   MSG_MAGIC "(msg.fileio.dQuot)There is no space left on the device",
};

// No platform this library runs on offers mandatory locks.
bool
FileIOMandatoryLockAvailable()
{
   return false;
}

// Back to the closed state; frees the name.
void
FileIOReset(FileIOFile *file)
{
   std::free(file->fileName);
   file->handle = FILEPLAT_INVALID_HANDLE;
   file->flags = 0;
   file->fileName = nullptr;
   file->lockToken = nullptr;
   file->position = 0;
}

// Status of a failed platform open.
FileIOStatus
FileIOMapOpenError(int err)
{
   switch (FilePlat_ErrorClass(err)) {
   case FILEPLAT_EC_NOT_FOUND:
      return FILEIO_NOT_FOUND;
   case FILEPLAT_EC_ACCESS_DENIED:
   case FILEPLAT_EC_NO_PERM:
      return FILEIO_NO_PERM;
   case FILEPLAT_EC_SHARING_VIOLATION:
      LogHook_Log("%s: CreateFileW() returned ERROR_SHARING_VIOLATION, "
                  "failing with FILEIO_CANCELLED.\n", "FileIOCreateRetry");
      return FILEIO_CANCELLED;
   case FILEPLAT_EC_EXISTS:
      return FILEIO_EXISTS;
   case FILEPLAT_EC_NAME_TOO_LONG:
      return FILEIO_NAME_LONG;
   case FILEPLAT_EC_NO_SPACE:
      return FILEIO_NOSPC;
   case FILEPLAT_EC_QUOTA:
      return FILEIO_DQUOT;
   case FILEPLAT_EC_TOO_BIG:
      return FILEIO_FBIG;
   case FILEPLAT_EC_OTHER:
      break;
   }
   LogHook_Warning("%s: Unrecognized error code: %u\n", "FileIOCreateRetry",
                   (unsigned)err);
   return FILEIO_ERROR;
}

}  // namespace

int
FileIO_InitFile(FileIOFile *file)
{
   file->handle = FILEPLAT_INVALID_HANDLE;
   file->flags = 0;
   file->fileName = nullptr;
   file->lockToken = nullptr;
   file->position = 0;
   return 0;
}

bool
FileIO_IsValid(const FileIOFile *file)
{
   return file->handle != FILEPLAT_INVALID_HANDLE;
}

void
FileIOResolveLockFlags(uint32_t *access)
{
   if (*access & FILEIO_LOCK_MANDATORY_REQ) {
      *access &= ~(uint32_t)FILEIO_LOCK_MANDATORY_REQ;
      *access |= FILEIO_LOCK_MANDATORY;
   }
   if (*access & FILEIO_LOCK_AUTO) {
      *access &= ~(uint32_t)FILEIO_LOCK_AUTO;
      *access |= FileIOMandatoryLockAvailable() ? FILEIO_LOCK_MANDATORY
                                                : FILEIO_LOCK_ADVISORY;
   }
}

FileIOStatus
FileIO_Lock(FileIOFile *file, uint32_t access)
{
   FileIOResolveLockFlags(&access);
   if (access & FILEIO_LOCK_MANDATORY) {
      // Would have to come with the open itself, which no platform offers.
      return FILEIO_LOCK_ERROR;
   }
   if (!(access & FILEIO_LOCK_ADVISORY)) {
      return FILEIO_SUCCESS;
   }

   int err = 0;
   bool readOnly = !(access & FILEIO_ACCESS_WRITE);
   file->lockToken = FileLock_Acquire(file->fileName, readOnly,
                                      FILEIO_LOCK_WAIT_MS, &err, nullptr);
   if (file->lockToken != nullptr) {
      return FILEIO_SUCCESS;
   }
   LogHook_Warning("FILE: %s on '%s' failed: %s\n", "FileIO_Lock", file->fileName,
                   err == 0 ? "Lock timed out" : FileErrnoText(err));
   switch (err) {
   case 0:
   case EROFS:
      return FILEIO_LOCK_ERROR;
   case ENOENT:
      return FILEIO_NOT_FOUND;
   case EACCES:
      return FILEIO_NO_PERM;
   case ENAMETOOLONG:
      return FILEIO_NAME_LONG;
   default:
      return FILEIO_ERROR;
   }
}

FileIOStatus
FileIO_Unlock(FileIOFile *file)
{
   if (file->lockToken == nullptr) {
      return FILEIO_SUCCESS;
   }
   int err = 0;
   bool released = FileLock_Release(file->lockToken, &err, nullptr);
   file->lockToken = nullptr;
   if (!released) {
      LogHook_Warning("FILE: %s on '%s' failed: %s\n", "FileIO_Unlock",
                      file->fileName, FileErrnoText(err));
      return FILEIO_ERROR;
   }
   return FILEIO_SUCCESS;
}

namespace {

// The open of FileIOCreateRetry, with the platform open passed in.
template <typename Opener>
FileIOStatus
FileIOCreateWith(FileIOFile *file, const char *path, uint32_t access, uint32_t msecMaxWait,
                 Opener open)
{
   if (path == nullptr) {
      FilePlat_SetLastError(FILEPLAT_ERR_INVALID_ADDRESS);
      return FILEIO_ERROR;
   }
   file->fileName = Util_SafeStrdup(path);

   FileIOResolveLockFlags(&access);
   FileIOStatus status = FileIO_Lock(file, access);
   if (status != FILEIO_SUCCESS) {
      FileIOReset(file);
      return status;
   }
   file->flags = access;

   if (FilePlat_PathTooLong(path)) {
      FileIO_Unlock(file);
      FileIOReset(file);
      FilePlat_SetLastError(FILEPLAT_ERR_OPEN_NAME_TOO_LONG);
      return FILEIO_NAME_LONG;
   }

   uint32_t slept = 0;
   FilePlatHandle handle;
   int err = 0;
   for (;;) {
      handle = open(access);
      if (handle != FILEPLAT_INVALID_HANDLE) {
         break;
      }
      err = FilePlat_LastError();
      FilePlatErrClass cls = FilePlat_ErrorClass(err);
      if ((cls != FILEPLAT_EC_SHARING_VIOLATION &&
           cls != FILEPLAT_EC_ACCESS_DENIED) || slept >= msecMaxWait) {
         break;
      }
      slept += FileRandomSleep(10, 100);
   }

   if (handle != FILEPLAT_INVALID_HANDLE) {
      file->handle = handle;
      file->position = 0;
      return FILEIO_SUCCESS;
   }
   {
      UtilSavedError keep;  // the open's error, past the clean-up
      FileIO_Unlock(file);
      FileIOReset(file);
   }
   return FileIOMapOpenError(err);
}

}  // namespace

FileIOStatus
FileIOCreateRetry(FileIOFile *file, const char *path, uint32_t access,
                  FileIOOpenAction action, int mode, uint32_t msecMaxWait)
{
   return FileIOCreateWith(file, path, access, msecMaxWait, [&](uint32_t resolved) {
      return FilePlat_Open(path, resolved, action, mode);
   });
}

FileIOStatus
FileIO_OpenAtMode(FileIOFile *file, FilePlatHandle dir, const char *name, const char *path,
                  uint32_t access, FileIOOpenAction action, int mode)
{
   if (name == nullptr) {
      FilePlat_SetLastError(FILEPLAT_ERR_INVALID_ADDRESS);
      return FILEIO_ERROR;
   }
   uint32_t budget = (access & FILEIO_RETRY_MASK) ? FILEIO_OPEN_RETRY_MS : 0;
   return FileIOCreateWith(file, path, access, budget, [&](uint32_t resolved) {
      return FilePlat_OpenAt(dir, name, resolved, action, mode);
   });
}

FileIOStatus
FileIO_StatusOfOpenError(int err)
{
   return FileIOMapOpenError(err);
}

bool
FileIO_GetIdentity(const FileIOFile *file, FilePlatFileId *id, uint64_t *links)
{
   return FilePlat_GetIdentity(file->handle, id, links);
}

bool
FileIO_SetMode(FileIOFile *file, int mode)
{
   return FilePlat_SetMode(file->handle, mode);
}

FileIOStatus
FileIO_OpenPath(FileIOFile *file, const char *path, uint32_t access,
                FileIOOpenAction action)
{
   return FileIO_OpenPathMode(file, path, access, action, 0);
}

FileIOStatus
FileIO_OpenPathMode(FileIOFile *file, const char *path, uint32_t access,
                    FileIOOpenAction action, int mode)
{
   uint32_t budget = (access & FILEIO_RETRY_MASK) ? FILEIO_OPEN_RETRY_MS : 0;
   return FileIOCreateRetry(file, path, access, action, mode, budget);
}

namespace {

std::atomic<FileIOQuestionFn> fileIOQuestion{nullptr};

}  // namespace

void
FileIO_SetQuestionHandler(FileIOQuestionFn ask)
{
   fileIOQuestion.store(ask);
}

FileIOStatus
FileIO_CreatePrompt(FileIOFile *file, const char *path, uint32_t access,
                    int answer)
{
   static const char *const buttons[] = {
      MSG_MAGIC "(button.file.create.retry)Retry",
      MSG_MAGIC "(button.file.create.overwrite)Overwrite",
      MSG_MAGIC "(button.cancel)Cancel",
      nullptr,
   };
   FileIOOpenAction action = FILEIO_ACTION_CREATE_NEW;
   FileIOStatus status =
      FileIO_OpenPath(file, path, access | FILEIO_ACCESS_WRITE, action);
   while (status == FILEIO_EXISTS) {
      int reply = answer;
      FileIOQuestionFn ask = fileIOQuestion.load();
      if (reply == -1) {
         // The question must not hide the open's error from the caller.
         UtilSavedError keep;
         reply = ask == nullptr ? 2 : ask(buttons, 2,
            MSG_MAGIC "(msg.File.CreatePrompt.question)"
            "The file '%s' already exists.\n"
            "To overwrite the content of the file, select Overwrite.\n"
            "To retry the operation after you have moved the file to "
            "another location, select Retry.\n"
            "To cancel the operation, select Cancel.\n", path);
      }
      if (reply == 2) {
         return FILEIO_CANCELLED;
      }
      if (reply == 1) {
         action = FILEIO_ACTION_CREATE_ALWAYS;
      }
      status = FileIO_OpenPath(file, path, access | FILEIO_ACCESS_WRITE,
                               action);
   }
   return status;
}

FileIOStatus
FileIO_ReadBytes(FileIOFile *file, void *buffer, size_t count, size_t *actual)
{
   if (count > FILEIO_MAX_IO) {
      NOT_IMPLEMENTED();
   }
   char *at = static_cast<char *>(buffer);
   size_t done = 0;
   while (done < count) {
      size_t got = 0;
      bool ok = FilePlat_ReadAt(file->handle, at + done, count - done, file->position, &got);
      file->position += (int64_t)got;
      if (!ok) {
         if (actual != nullptr) {
            *actual = done + got;
         }
         return FILEIO_ERROR;
      }
      if (got == 0) {
         if (actual != nullptr) {
            *actual = done;
         }
         return FILEIO_EOF;
      }
      done += got;
   }
   if (actual != nullptr) {
      *actual = count;
   }
   return FILEIO_SUCCESS;
}

namespace {

/*
 * Where the position of a file opened for appending is after a write:
 * the write went to the end, and so did the position, as after a
 * platform write. Other files keep the position the write counted.
 */
void
FileIOAfterWrite(FileIOFile *file)
{
   if (!(file->flags & FILEIO_APPEND)) {
      return;
   }
   UtilSavedError keep;
   int64_t end = FilePlat_Seek(file->handle, 0, FILEIO_SEEK_END, file->position);
   if (end >= 0) {
      file->position = end;
   }
}

}  // namespace

FileIOStatus
FileIO_WriteBytes(FileIOFile *file, const void *buffer, size_t count,
                  size_t *actual)
{
   if (count > FILEIO_MAX_IO) {
      NOT_IMPLEMENTED();
   }
   const char *at = static_cast<const char *>(buffer);
   size_t done = 0;
   while (done < count) {
      size_t put = 0;
      bool ok = FilePlat_WriteAt(file->handle, at + done, count - done, file->position, &put);
      file->position += (int64_t)put;
      FileIOAfterWrite(file);
      if (!ok) {
         if (actual != nullptr) {
            *actual = done + put;
         }
         return FILEIO_ERROR;  // last error as the write left it
      }
      done += put;
   }
   if (actual != nullptr) {
      *actual = count;
   }
   return FILEIO_SUCCESS;
}

FileIOStatus
FileIO_WriteVAt(FileIOFile *file, const FilePlatPiece *pieces, int n, uint64_t offset,
                size_t *actual)
{
   FilePlatPiece rest[FILEPLAT_MAX_PIECES];
   if (n > FILEPLAT_MAX_PIECES) {
      NOT_IMPLEMENTED();
   }
   std::memcpy(rest, pieces, (size_t)n * sizeof *pieces);
   FilePlatPiece *at = rest;
   int left = n;
   size_t done = 0;
   file->position = (int64_t)offset;
   // A short transfer goes on where it stopped, as FileIO_WriteBytes does.
   while (left > 0) {
      size_t put = 0;
      bool ok = FilePlat_WriteVAt(file->handle, at, left, file->position, &put);
      file->position += (int64_t)put;
      FileIOAfterWrite(file);
      done += put;
      if (!ok) {
         *actual = done;
         return FILEIO_ERROR;
      }
      while (left > 0 && put >= at->length) {
         put -= at->length;
         at++;
         left--;
      }
      if (left > 0) {
         at->data = static_cast<const char *>(at->data) + put;
         at->length -= put;
      }
      while (left > 0 && at->length == 0) {
         at++;
         left--;
      }
   }
   *actual = done;
   return FILEIO_SUCCESS;
}

bool
FilePiecesTotal(const FilePlatPiece *pieces, int n, size_t *total)
{
   *total = 0;
   if (n > FILEPLAT_MAX_PIECES) {
      FilePlat_SetLastError(FILEPLAT_ERR_INVALID_PARAMETER);
      return false;
   }
   for (int i = 0; i < n; i++) {
      *total += pieces[i].length;
   }
   return true;
}

int64_t
FileSeekTarget(int64_t offset, int origin, int64_t current)
{
   int64_t position = -1;
   if (origin == FILEIO_SEEK_BEGIN) {
      position = offset;
   } else if (origin == FILEIO_SEEK_CURRENT) {
      position = __builtin_add_overflow(current, offset, &position) ? -1 : position;
   }
   return position < 0 ? -1 : position;
}

int64_t
FileIO_SetPos(FileIOFile *file, uint64_t offset, FileIOSeekOrigin origin)
{
   int64_t position = FilePlat_Seek(file->handle, (int64_t)offset, origin, file->position);
   if (position >= 0) {
      file->position = position;
   }
   return position;
}

bool
FileIO_CloseFile(FileIOFile *file)
{
   bool failed = !FilePlat_Close(file->handle, file->fileName, file->flags);
   UtilSavedError keep;  // the close's error, past the lock's release
   FileIO_Unlock(file);
   FileIOReset(file);
   return failed;
}

bool
FileIO_CloseAndRemove(FileIOFile *file)
{
   char *name = file->fileName != nullptr ? Util_SafeStrdup(file->fileName)
                                          : nullptr;
   bool failed = FileIO_CloseFile(file);
   if (!failed) {
      failed = File_Remove(name) != 0;
   }
   std::free(name);
   return failed;
}

const char *
FileIO_MsgError(FileIOStatus status)
{
   if (status >= 0 && status < FILEIO_CODE_LIMIT) {
      return fileIOMessages[status];
   }
   if (status == FILEIO_CODE_LIMIT) {
      NOT_IMPLEMENTED();
   }
   LogHook_Warning("%s: bad code %d\n", "FileIO_MsgError", status);
   return MSG_MAGIC "(msg.fileio.unknown)Unknown error";
}
