// Win32 back end of the file library's platform layer, handles and I/O;
// see filePlatform.h. Names, listings and security queries are in
// fileNameWin32.cpp.
//
// The last error is GetLastError's. Handles are the system's HANDLEs.
// Transfers carry their offset in an OVERLAPPED record, so the system's
// file pointer is never relied on; a handle opened for appending has no
// write-data right, and the system writes it at the end whatever the
// offset. The opens below a directory handle (OpenAt, OpenSubdir, and the
// identity and deletion of a name) go through NtCreateFile with the
// directory as the root of the name, and open a reparse point itself
// rather than what it points at, so that no link is ever followed there.
// Every call first asks the failure seam so that tests can make it fail.
#include "lib/file/filePlatform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <winternl.h>

#include "lib/file/file.h"
#include "lib/file/fileIO.h"
#include "lib/file/fileWin32Int.h"
#include "lib/misc/platFaultWin32.h"

const int FILEPLAT_ERR_NOT_FOUND = ERROR_FILE_NOT_FOUND;
const int FILEPLAT_ERR_PATH_NOT_FOUND = ERROR_PATH_NOT_FOUND;
const int FILEPLAT_ERR_ACCESS_DENIED = ERROR_ACCESS_DENIED;
const int FILEPLAT_ERR_SHARING_VIOLATION = ERROR_SHARING_VIOLATION;
const int FILEPLAT_ERR_EXISTS = ERROR_ALREADY_EXISTS;
const int FILEPLAT_ERR_NAME_TOO_LONG = ERROR_FILENAME_EXCED_RANGE;
// The open refuses a long name the way CreateFileW refuses a bad argument.
const int FILEPLAT_ERR_OPEN_NAME_TOO_LONG = ERROR_INVALID_PARAMETER;
const int FILEPLAT_ERR_INVALID_ADDRESS = ERROR_INVALID_ADDRESS;
const int FILEPLAT_ERR_INVALID_PARAMETER = ERROR_INVALID_PARAMETER;
const int FILEPLAT_ERR_NO_MORE_FILES = ERROR_NO_MORE_FILES;
const int FILEPLAT_ERR_LOCK_VIOLATION = ERROR_LOCK_VIOLATION;
const int FILEPLAT_ERR_IS_LINK = ERROR_CANT_RESOLVE_FILENAME;
const int FILE_ERR_NAME_TOO_LONG = ERROR_FILENAME_EXCED_RANGE;

const bool FILEPLAT_DRIVE_LETTERS = true;
const bool FILEPLAT_BACKSLASH_SEPARATES = true;
const bool FILEPLAT_NETWORK_VOLUMES = true;
const int64_t FILEPLAT_TIME_UNITS_PER_SEC = 10000000;  // 100 ns

// The runtime's errno numbering, fixed whatever the C library's headers say.
const FilePlatErrnoRow FILEPLAT_ERRNO_TABLE[] = {
   {ERROR_INVALID_FUNCTION, 22},     {ERROR_INVALID_ACCESS, 22},
   {ERROR_INVALID_PARAMETER, 22},    {ERROR_INVALID_NAME, 22},
   {ERROR_BAD_ARGUMENTS, 22},        {ERROR_FILE_NOT_FOUND, 2},
   {ERROR_PATH_NOT_FOUND, 2},        {ERROR_DELETE_PENDING, 2},
   {ERROR_TOO_MANY_OPEN_FILES, 24},  {ERROR_ACCESS_DENIED, 13},
   {ERROR_SHARING_VIOLATION, 13},    {ERROR_CANNOT_MAKE, 13},
   {ERROR_INVALID_HANDLE, 9},        {ERROR_NOT_ENOUGH_MEMORY, 12},
   {ERROR_OUTOFMEMORY, 12},          {ERROR_CURRENT_DIRECTORY, 16},
   {ERROR_PATH_BUSY, 16},            {ERROR_WRITE_PROTECT, 30},
   {ERROR_NOT_SUPPORTED, 40},        {ERROR_FILE_EXISTS, 17},
   {ERROR_ALREADY_EXISTS, 17},       {ERROR_DISK_FULL, 28},
   {ERROR_HANDLE_DISK_FULL, 28},
   {ERROR_DIR_NOT_EMPTY, 41},        {ERROR_FILENAME_EXCED_RANGE, 38},
   {ERROR_DIRECTORY, 20},            {ERROR_INVALID_ADDRESS, 14},
   {ERROR_SECTOR_NOT_FOUND, 5},      {ERROR_WRITE_FAULT, 5},
   {ERROR_READ_FAULT, 5},            {ERROR_GEN_FAILURE, 5},
};
const size_t FILEPLAT_ERRNO_TABLE_SIZE =
   sizeof FILEPLAT_ERRNO_TABLE / sizeof FILEPLAT_ERRNO_TABLE[0];

/*
 * Only the codes that CreateFileW's callers tell apart have a class; any
 * other open failure is reported as unrecognised and ends as FILEIO_ERROR.
 * A full disk is told apart, as on POSIX, so that a dump's create on a
 * full disk is answered alike on both (a create failure, not a limit).
 */
FilePlatErrClass
FilePlat_ErrorClass(int err)
{
   switch (err) {
   case ERROR_FILE_NOT_FOUND:
   case ERROR_PATH_NOT_FOUND:
      return FILEPLAT_EC_NOT_FOUND;
   case ERROR_ACCESS_DENIED:
      return FILEPLAT_EC_ACCESS_DENIED;
   case ERROR_INVALID_ACCESS:
   case ERROR_WRITE_PROTECT:
      return FILEPLAT_EC_NO_PERM;
   case ERROR_SHARING_VIOLATION:
      return FILEPLAT_EC_SHARING_VIOLATION;
   case ERROR_FILE_EXISTS:
   case ERROR_ALREADY_EXISTS:
      return FILEPLAT_EC_EXISTS;
   case ERROR_DISK_FULL:
   case ERROR_HANDLE_DISK_FULL:
      return FILEPLAT_EC_NO_SPACE;
   default:
      return FILEPLAT_EC_OTHER;
   }
}

int
FilePlat_LastError()
{
   return (int)GetLastError();
}

void
FilePlat_SetLastError(int err)
{
   SetLastError((DWORD)err);
}

const char *
FilePlat_ErrorText(int err)
{
   // The system's text for the code, in UTF-8, without its line end.
   thread_local char text[512];
   wchar_t wide[256];
   DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                            nullptr, (DWORD)err, 0, wide, sizeof wide / sizeof wide[0], nullptr);
   while (n > 0 && (wide[n - 1] == L'\n' || wide[n - 1] == L'\r' || wide[n - 1] == L' ')) {
      n--;
   }
   wide[n] = L'\0';
   if (n == 0 || WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr,
                                     nullptr) == 0) {
      std::snprintf(text, sizeof text, "Windows error %d", err);
   }
   return text;
}

bool
FilePlat_PathTooLong(const char *path)
{
   // "\\?\" asks the system to take the name as it is, whatever its length.
   FileWide wide(path);
   return wide.ok() && std::wcsncmp(wide.get(), L"\\\\?\\", 4) != 0 && wide.length() >= MAX_PATH;
}

namespace {

// What an open asks CreateFileW for, made from the FILEIO_* bits.
struct FileWin32OpenArgs {
   DWORD access;
   DWORD share;
   DWORD disposition;
   DWORD flags;
};

// The append-only right: write attributes and append data, no write data.
constexpr DWORD FILE_WIN32_APPEND_ACCESS = 0x00120114;

bool
FileWin32OpenArgsOf(uint32_t access, int action, FileWin32OpenArgs *args)
{
   static const DWORD dispositions[] = {OPEN_EXISTING, TRUNCATE_EXISTING, OPEN_ALWAYS,
                                        CREATE_NEW, CREATE_ALWAYS};
   if (action < 0 || action >= (int)(sizeof dispositions / sizeof dispositions[0])) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
   }
   args->disposition = dispositions[action];
   args->access = 0;
   if (access & FILEIO_ACCESS_READ) {
      args->access |= GENERIC_READ;
   }
   if (access & FILEIO_ACCESS_WRITE) {
      args->access |= (access & FILEIO_APPEND) ? FILE_WIN32_APPEND_ACCESS : GENERIC_WRITE;
   }
   args->share = ((access & FILEIO_DENY_READ) ? 0 : FILE_SHARE_READ) |
                 ((access & FILEIO_DENY_WRITE) ? 0 : FILE_SHARE_WRITE) |
                 ((access & FILEIO_SHARE_DELETE) ? FILE_SHARE_DELETE : 0);
   args->flags = (access & FILEIO_DELETE_ON_CLOSE) ? 0x04000082 : FILE_ATTRIBUTE_NORMAL;
   if (access & FILEIO_SYNC_WRITES) {
      args->flags |= FILE_FLAG_WRITE_THROUGH;
   }
   if (access & FILEIO_UNBUFFERED) {
      args->flags |= FILE_FLAG_NO_BUFFERING;
   }
   if (access & FILEIO_ASYNC) {
      args->flags |= FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING;
   }
   if (access & FILEIO_SEQUENTIAL) {
      args->flags |= FILE_FLAG_SEQUENTIAL_SCAN;
   }
   return true;
}

}  // namespace

FilePlatHandle
FilePlat_Open(const char *path, uint32_t access, int disposition, int mode)
{
   (void)mode;  // permission bits mean nothing to CreateFileW
   FileWin32OpenArgs args;
   if (!PlatFault_Allowed(PLAT_OPEN) || !FileWin32OpenArgsOf(access, disposition, &args)) {
      return FILEPLAT_INVALID_HANDLE;
   }
   FileWide wide(path);
   if (!wide.ok()) {
      return FILEPLAT_INVALID_HANDLE;
   }
   HANDLE h = CreateFileW(wide.get(), args.access, args.share, nullptr, args.disposition,
                          args.flags, nullptr);
   return h == INVALID_HANDLE_VALUE ? FILEPLAT_INVALID_HANDLE : FileWin32PlatHandle(h);
}

namespace {

/*
 * NtCreateFile of `name` directly below the directory `dir`. A name with a
 * separator, or "." and "..", would leave the directory: refused.
 */
HANDLE
FileWin32OpenBelow(HANDLE dir, const char *name, ACCESS_MASK access, ULONG share,
                   ULONG disposition, ULONG options, ULONG attributes)
{
   if (name == nullptr || name[0] == '\0' || std::strpbrk(name, "/\\") != nullptr ||
       std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      SetLastError(ERROR_INVALID_NAME);
      return INVALID_HANDLE_VALUE;
   }
   FileWide wide(name);
   if (!wide.ok()) {
      return INVALID_HANDLE_VALUE;
   }
   UNICODE_STRING us;
   us.Buffer = const_cast<wchar_t *>(wide.get());
   us.Length = (USHORT)(wide.length() * sizeof(wchar_t));
   us.MaximumLength = us.Length;
   OBJECT_ATTRIBUTES oa;
   InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, dir, nullptr);
   IO_STATUS_BLOCK io;
   HANDLE h = INVALID_HANDLE_VALUE;
   NTSTATUS status = NtCreateFile(&h, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &oa, &io,
                                  nullptr, attributes, share, disposition,
                                  options | FILE_OPEN_REPARSE_POINT, nullptr, 0);
   if (!NT_SUCCESS(status)) {
      SetLastError(RtlNtStatusToDosError(status));
      return INVALID_HANDLE_VALUE;
   }
   return h;
}

// Whether an open handle is a reparse point (a link); false when unknown.
bool
FileWin32IsReparsePoint(HANDLE h)
{
   BY_HANDLE_FILE_INFORMATION info;
   return GetFileInformationByHandle(h, &info) &&
          (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Closes h and fails with err (returns the invalid handle).
FilePlatHandle
FileWin32Refuse(HANDLE h, DWORD err)
{
   CloseHandle(h);
   SetLastError(err);
   return FILEPLAT_INVALID_HANDLE;
}

// The native API's create options for the FILEIO_* bits of an open.
ULONG
FileWin32NtOptions(uint32_t access)
{
   ULONG options = FILE_NON_DIRECTORY_FILE;
   if (!(access & FILEIO_ASYNC)) {
      options |= FILE_SYNCHRONOUS_IO_NONALERT;
   }
   if (access & FILEIO_SYNC_WRITES) {
      options |= FILE_WRITE_THROUGH;
   }
   if (access & (FILEIO_UNBUFFERED | FILEIO_ASYNC)) {
      options |= FILE_NO_INTERMEDIATE_BUFFERING;
   }
   if (access & FILEIO_SEQUENTIAL) {
      options |= FILE_SEQUENTIAL_ONLY;
   }
   if (access & FILEIO_DELETE_ON_CLOSE) {
      options |= FILE_DELETE_ON_CLOSE;
   }
   return options;
}

}  // namespace

FilePlatHandle
FilePlat_OpenAt(FilePlatHandle dir, const char *name, uint32_t access, int disposition,
                int mode)
{
   (void)mode;
   FileWin32OpenArgs args;
   if (!PlatFault_Allowed(PLAT_OPEN) || !FileWin32OpenArgsOf(access, disposition, &args)) {
      return FILEPLAT_INVALID_HANDLE;
   }
   /*
    * A truncating open would replace a link's own data before it could be
    * told from a file: the file is opened first, and emptied only once it
    * is known to be one.
    */
   bool truncate = disposition == FILEIO_ACTION_TRUNCATE ||
                   disposition == FILEIO_ACTION_CREATE_ALWAYS;
   ULONG ntDisposition = disposition == FILEIO_ACTION_CREATE_NEW ? FILE_CREATE
                         : disposition == FILEIO_ACTION_OPEN_OR_CREATE ||
                                 disposition == FILEIO_ACTION_CREATE_ALWAYS
                            ? FILE_OPEN_IF
                            : FILE_OPEN;
   ACCESS_MASK ntAccess = args.access | ((access & FILEIO_DELETE_ON_CLOSE) ? DELETE : 0);
   HANDLE h = FileWin32OpenBelow(FileWin32Handle(dir), name, ntAccess, args.share, ntDisposition,
                                 FileWin32NtOptions(access), args.flags & 0xFFFF);
   if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_ALREADY_EXISTS) {
         SetLastError(ERROR_FILE_EXISTS);  // what CreateFileW says of CREATE_NEW
      }
      return FILEPLAT_INVALID_HANDLE;
   }
   if (FileWin32IsReparsePoint(h)) {
      return FileWin32Refuse(h, ERROR_CANT_RESOLVE_FILENAME);
   }
   FILE_END_OF_FILE_INFO end{};
   if (truncate && !SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end)) {
      return FileWin32Refuse(h, GetLastError());
   }
   return FileWin32PlatHandle(h);
}

FilePlatHandle
FilePlat_OpenDirHandle(const char *path)
{
   if (!PlatFault_Allowed(PLAT_OPEN)) {
      return FILEPLAT_INVALID_HANDLE;
   }
   FileWide wide(path);
   if (!wide.ok()) {
      return FILEPLAT_INVALID_HANDLE;
   }
   // Others may still rename, delete and fill the directory meanwhile.
   HANDLE h = CreateFileW(wide.get(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
   if (h == INVALID_HANDLE_VALUE) {
      return FILEPLAT_INVALID_HANDLE;
   }
   BY_HANDLE_FILE_INFORMATION info;
   if (!GetFileInformationByHandle(h, &info)) {
      return FileWin32Refuse(h, GetLastError());
   }
   if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return FileWin32Refuse(h, ERROR_DIRECTORY);
   }
   return FileWin32PlatHandle(h);
}

FilePlatHandle
FilePlat_OpenSubdir(FilePlatHandle parent, const char *name, bool create, int mode)
{
   (void)mode;
   if (!PlatFault_Allowed(PLAT_OPEN) || (create && !PlatFault_Allowed(PLAT_MKDIR))) {
      return FILEPLAT_INVALID_HANDLE;
   }
   // Made when missing and opened in one step: no other process can slip
   // something in between.
   HANDLE h = FileWin32OpenBelow(FileWin32Handle(parent), name,
                                 FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 create ? FILE_OPEN_IF : FILE_OPEN,
                                 FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                                 FILE_ATTRIBUTE_NORMAL);
   if (h == INVALID_HANDLE_VALUE) {
      return FILEPLAT_INVALID_HANDLE;
   }
   if (FileWin32IsReparsePoint(h)) {
      return FileWin32Refuse(h, ERROR_PATH_NOT_FOUND);  // a link where a directory belongs
   }
   return FileWin32PlatHandle(h);
}

void
FilePlat_CloseHandle(FilePlatHandle h)
{
   if (h != FILEPLAT_INVALID_HANDLE) {
      UtilSavedError keep;
      CloseHandle(FileWin32Handle(h));
   }
}

namespace {

bool
FileWin32SetAttributes(HANDLE h, DWORD attributes)
{
   FILE_BASIC_INFO change{};  // zero times: left as they are
   change.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
   return SetFileInformationByHandle(h, FileBasicInfo, &change, sizeof change) != 0;
}

}  // namespace

bool
FilePlat_SetMode(FilePlatHandle h, int mode)
{
   // Access on Windows is the ACL's business. Of the bits only the
   // owner's write bit has a counterpart: the read-only attribute, set
   // when the bit is missing (a finished dump is told apart by it).
   if (!PlatFault_Allowed(PLAT_STAT)) {
      return false;
   }
   FILE_BASIC_INFO info;
   if (!GetFileInformationByHandleEx(FileWin32Handle(h), FileBasicInfo, &info, sizeof info)) {
      return false;
   }
   DWORD attrs = (mode & 0200) != 0 ? info.FileAttributes & ~FILE_ATTRIBUTE_READONLY
                                    : info.FileAttributes | FILE_ATTRIBUTE_READONLY;
   if (attrs == info.FileAttributes) {
      return true;  // nothing to change, nor any right needed to change it
   }
   return FileWin32SetAttributes(FileWin32Handle(h), attrs);
}

int
FilePlat_CreationMask()
{
   return 0;  // Windows has no creation mask
}

namespace {

// The thread's event that its transfers complete on; null when none can be had.
HANDLE
FileWin32TransferEvent()
{
   static thread_local UtilWinHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
   return event.Get();
}

/*
 * One ReadFile or WriteFile at `offset`, waiting for it when the handle
 * was opened for overlapped transfers. done receives the bytes moved,
 * from the completed record only: a count the call itself returns may be
 * wrong for an overlapped handle. The wait is on an event of the
 * transfer's own, not on the handle, which any transfer on it signals.
 */
template <typename Transfer>
bool
FileWin32Transfer(HANDLE h, int64_t offset, DWORD *done, Transfer transfer)
{
   OVERLAPPED ov{};
   ov.Offset = (DWORD)((uint64_t)offset & 0xFFFFFFFFu);
   ov.OffsetHigh = (DWORD)((uint64_t)offset >> 32);
   ov.hEvent = FileWin32TransferEvent();
   if (ov.hEvent == nullptr) {
      return false;
   }
   *done = 0;
   if (!transfer(&ov) && GetLastError() != ERROR_IO_PENDING) {
      return false;
   }
   return GetOverlappedResult(h, &ov, done, TRUE) != 0;
}

// One WriteFile of at most count bytes; put receives what it took.
bool
FileWin32WriteOnce(HANDLE h, const void *buf, size_t count, int64_t offset, size_t *put)
{
   DWORD want = count > 0x7FFFFFFF ? 0x7FFFFFFF : (DWORD)count;
   DWORD n = 0;
   bool ok = FileWin32Transfer(h, offset, &n, [&](OVERLAPPED *ov) {
      return WriteFile(h, buf, want, nullptr, ov) != 0;
   });
   *put = n;
   if (ok && n == 0 && want > 0) {
      SetLastError(ERROR_WRITE_FAULT);  // would make the caller's loop spin
      return false;
   }
   return ok;
}

}  // namespace

bool
FilePlat_ReadAt(FilePlatHandle h, void *buf, size_t count, int64_t offset, size_t *got)
{
   *got = 0;
   if (!PlatFault_Allowed(PLAT_READ, nullptr, h)) {
      return false;
   }
   HANDLE file = FileWin32Handle(h);
   DWORD want = count > 0x7FFFFFFF ? 0x7FFFFFFF : (DWORD)count;
   DWORD n = 0;
   bool ok = FileWin32Transfer(file, offset, &n, [&](OVERLAPPED *ov) {
      return ReadFile(file, buf, want, nullptr, ov) != 0;
   });
   if (!ok && GetLastError() == ERROR_HANDLE_EOF) {
      SetLastError(0);
      return true;  // a read at or past the end: nothing more to read
   }
   *got = n;
   return ok;
}

bool
FilePlat_WriteAt(FilePlatHandle h, const void *buf, size_t count, int64_t offset, size_t *put)
{
   *put = 0;
   size_t len = count;
   if (!PlatFault_Allowed(PLAT_WRITE, &len, h)) {
      return false;
   }
   return FileWin32WriteOnce(FileWin32Handle(h), buf, len, offset, put);
}

bool
FilePlat_WriteVAt(FilePlatHandle h, const FilePlatPiece *pieces, int n, int64_t offset,
                  size_t *put)
{
   *put = 0;
   size_t len;
   if (!FilePiecesTotal(pieces, n, &len)) {
      return false;
   }
   if (!PlatFault_Allowed(PLAT_WRITE, &len, h)) {
      return false;
   }
   // Windows gathers only page-sized pieces of unbuffered files: one
   // WriteFile per piece, each where the one before ended, stopping at
   // the first that takes less than its piece.
   for (int i = 0; i < n && *put < len; i++) {
      size_t piece = pieces[i].length < len - *put ? pieces[i].length : len - *put;
      if (piece == 0) {
         continue;
      }
      size_t done = 0;
      bool ok = FileWin32WriteOnce(FileWin32Handle(h), pieces[i].data, piece,
                                   offset + (int64_t)*put, &done);
      *put += done;
      if (!ok) {
         return false;
      }
      if (done < piece) {
         break;
      }
   }
   return true;
}

int64_t
FilePlat_Seek(FilePlatHandle h, int64_t offset, int origin, int64_t current)
{
   if (!PlatFault_Allowed(PLAT_SEEK)) {
      return -1;
   }
   if (h == FILEPLAT_INVALID_HANDLE) {
      SetLastError(ERROR_INVALID_HANDLE);
      return -1;
   }
   if (origin == FILEIO_SEEK_END) {
      LARGE_INTEGER distance, now;
      distance.QuadPart = offset;
      if (!SetFilePointerEx(FileWin32Handle(h), distance, &now, FILE_END)) {
         return -1;
      }
      return now.QuadPart;
   }
   int64_t position = FileSeekTarget(offset, origin, current);
   if (position < 0) {
      SetLastError(ERROR_NEGATIVE_SEEK);
      return -1;
   }
   return position;
}

bool
FilePlat_Close(FilePlatHandle h, const char *path, uint32_t access)
{
   // The system deletes a FILEIO_DELETE_ON_CLOSE file itself.
   (void)path;
   (void)access;
   int injected = PlatFault_Check(PLAT_CLOSE);
   // The handle is released even when an injected failure is reported.
   bool ok = CloseHandle(FileWin32Handle(h)) != 0 && injected == 0;
   DWORD err = injected != 0 ? PlatFaultWin32Error(injected) : GetLastError();
   if (injected != 0) {
      errno = injected;
   }
   SetLastError(ok ? 0 : err);
   return ok;
}

namespace {

// The volume serial and file index of an open file, and its names left.
bool
FileWin32IdentityOf(HANDLE h, FilePlatFileId *id, uint64_t *links)
{
   BY_HANDLE_FILE_INFORMATION info;
   if (!GetFileInformationByHandle(h, &info)) {
      return false;
   }
   *id = FilePlatFileId{info.dwVolumeSerialNumber,
                        ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow};
   if (links != nullptr) {
      // A name being deleted goes with the last handle: it counts no more.
      FILE_STANDARD_INFO standard;
      bool pending = GetFileInformationByHandleEx(h, FileStandardInfo, &standard,
                                                  sizeof standard) &&
                     standard.DeletePending;
      *links = pending ? 0 : info.nNumberOfLinks;
   }
   return true;
}

/*
 * Deletes the file of an open handle. The name goes at once where the
 * system offers POSIX semantics (Windows 10 and later), as an unlink
 * would; elsewhere it stays until the last handle of the file is closed.
 */
bool
FileWin32MarkDeleted(HANDLE h)
{
   struct {
      ULONG flags;
   } posix = {0x1 | 0x2 | 0x10};  // delete, POSIX semantics, even when read-only
   constexpr auto dispositionEx = (FILE_INFO_BY_HANDLE_CLASS)21;  // FileDispositionInfoEx
   if (SetFileInformationByHandle(h, dispositionEx, &posix, sizeof posix)) {
      return true;
   }
   FILE_DISPOSITION_INFO classic{TRUE};
   return SetFileInformationByHandle(h, FileDispositionInfo, &classic, sizeof classic) != 0;
}

/*
 * A read-only file (a finished dump) is deleted as an unlink deletes one
 * without its write bit: the attribute goes first where the system
 * cannot be asked to ignore it. `h` has the right to write attributes.
 */
/*
 * A read-only file (a finished dump) is deleted as an unlink deletes one
 * without its write bit: where the system cannot be asked to ignore the
 * attribute, it goes first, and comes back if the delete still fails.
 */
bool
FileWin32MarkDeletedAnyway(HANDLE h, DWORD attributes)
{
   if (FileWin32MarkDeleted(h)) {
      return true;
   }
   if ((attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
       !FileWin32SetAttributes(h, attributes & ~FILE_ATTRIBUTE_READONLY)) {
      return false;
   }
   if (FileWin32MarkDeleted(h)) {
      return true;
   }
   UtilSavedError keep;
   FileWin32SetAttributes(h, attributes);
   return false;
}

}  // namespace

bool
FilePlat_GetIdentity(FilePlatHandle h, FilePlatFileId *id, uint64_t *links)
{
   return PlatFault_Allowed(PLAT_STAT) && FileWin32IdentityOf(FileWin32Handle(h), id, links);
}

bool
FilePlat_GetIdentityAt(FilePlatHandle dir, const char *name, FilePlatFileId *id)
{
   if (!PlatFault_Allowed(PLAT_STAT)) {
      return false;
   }
   FileWin32Owned h(FileWin32OpenBelow(FileWin32Handle(dir), name, 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, 0));
   return h && FileWin32IdentityOf(h.Get(), id, nullptr);
}

bool
FilePlat_DeleteAt(FilePlatHandle dir, const char *name)
{
   if (!PlatFault_Allowed(PLAT_UNLINK)) {
      return false;
   }
   // Shared as DeleteFileW shares: a holder without delete sharing blocks
   // it. The right to write attributes, where granted, lets a read-only
   // file go too.
   const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
   HANDLE h = FileWin32OpenBelow(FileWin32Handle(dir), name, DELETE | FILE_WRITE_ATTRIBUTES,
                                 share, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, 0);
   if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      h = FileWin32OpenBelow(FileWin32Handle(dir), name, DELETE, share, FILE_OPEN,
                             FILE_SYNCHRONOUS_IO_NONALERT, 0);
   }
   FileWin32Owned owned(h);
   BY_HANDLE_FILE_INFORMATION info;
   if (!owned || !GetFileInformationByHandle(h, &info)) {
      return false;
   }
   // A directory is not a file to delete, unless it is a link to one.
   if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
       !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
   }
   bool ok = FileWin32MarkDeletedAnyway(h, info.dwFileAttributes);
   if (ok) {
      SetLastError(0);
   }
   return ok;
}
