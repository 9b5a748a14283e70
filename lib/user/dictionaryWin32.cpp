// Platform layer of the dictionary on Windows; see dictionaryPlatform.h.
//
// - Files are opened with CreateFileW, sharing read, write and delete so
//   that nobody who rewrites or replaces a file is kept waiting, and are
//   handed to the portable code as runtime-library descriptors (made
//   with _open_osfhandle), as standard input is.
// - Only files on a disk are read: a directory, a pipe, a console or a
//   device (NUL) is refused.
// - Error codes are Windows errors, shown with the system's own texts.
// - The host encoding is the ANSI code page, by a name ICU knows.
#include "lib/user/dictionaryPlatform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <windows.h>

#include "lib/misc/platError.h"
#include "lib/misc/platFaultWin32.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"

namespace {

// Paths this long need the prefix that lifts the limit.
bool
DictionaryWin32TooLong(const wchar_t *path)
{
   return wcslen(path) >= MAX_PATH && wcsncmp(path, L"\\\\?\\", 4) != 0;
}

// A path that cannot be opened as a file may still be a directory.
DictionaryPlatOpen
DictionaryWin32OpenFailed(const wchar_t *path, int *err)
{
   DWORD error = GetLastError();
   DWORD attributes = GetFileAttributesW(path);
   if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return DICTPLAT_IS_DIRECTORY;
   }
   *err = (int)error;
   return DICTPLAT_OPEN_FAILED;
}

// What an open handle is: a regular file on a disk, or not.
DictionaryPlatOpen
DictionaryWin32Check(HANDLE h, int *err)
{
   if (!PlatFault_Allowed(PLAT_STAT)) {
      *err = (int)GetLastError();
      return DICTPLAT_STAT_FAILED;
   }
   SetLastError(NO_ERROR);
   DWORD type = GetFileType(h);
   if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
      *err = (int)GetLastError();
      return DICTPLAT_STAT_FAILED;
   }
   if (type != FILE_TYPE_DISK) {
      return DICTPLAT_NOT_REGULAR;
   }
   BY_HANDLE_FILE_INFORMATION info;
   if (!GetFileInformationByHandle(h, &info)) {
      *err = (int)GetLastError();
      return DICTPLAT_STAT_FAILED;
   }
   if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return DICTPLAT_IS_DIRECTORY;
   }
   return DICTPLAT_OK;
}

}  // namespace

DictionaryPlatOpen
DictionaryPlat_Open(const char *path, int *fd, int *err)
{
   *fd = -1;
   *err = 0;
   UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(path));
   if (wide == nullptr) {
      *err = ERROR_NO_UNICODE_TRANSLATION;
      return DICTPLAT_OPEN_FAILED;
   }
   if (DictionaryWin32TooLong(wide.get())) {
      *err = ERROR_FILENAME_EXCED_RANGE;
      return DICTPLAT_OPEN_FAILED;
   }
   UtilWinHandle h;
   if (PlatFault_Allowed(PLAT_OPEN)) {
      h.Reset(CreateFileW(wide.get(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
   }
   if (!h) {
      return DictionaryWin32OpenFailed(wide.get(), err);
   }
   DictionaryPlatOpen what = DictionaryWin32Check(h.Get(), err);
   if (what != DICTPLAT_OK) {
      return what;
   }
   int d = _open_osfhandle((intptr_t)h.Get(), _O_RDONLY | _O_BINARY);
   if (d < 0) {
      *err = ERROR_TOO_MANY_OPEN_FILES;
      return DICTPLAT_OPEN_FAILED;
   }
   h.Take();  // the descriptor owns it now
   *fd = d;
   return DICTPLAT_OK;
}

// A writer that has gone (the end of a pipe on standard input) is the end.
long
DictionaryPlat_Read(void *fd, void *buf, size_t size)
{
   if (!PlatFault_Allowed(PLAT_READ)) {
      errno = (int)GetLastError();
      return -1;
   }
   HANDLE h = (HANDLE)_get_osfhandle(*static_cast<int *>(fd));
   if (h == INVALID_HANDLE_VALUE) {
      errno = ERROR_INVALID_HANDLE;
      return -1;
   }
   DWORD n = 0;
   DWORD chunk = size > (1u << 30) ? (1u << 30) : (DWORD)size;
   if (!ReadFile(h, buf, chunk, &n, nullptr)) {
      DWORD error = GetLastError();
      if (PlatError_IsBrokenPipe(error) || error == ERROR_HANDLE_EOF) {
         return 0;
      }
      errno = (int)error;
      return -1;
   }
   return (long)n;
}

void
DictionaryPlat_Close(int fd)
{
   _close(fd);  // closes the handle too
}

int
DictionaryPlat_StdinFd()
{
   return 0;
}

// The code page that programs not written for Unicode use for text:
// "UTF-8" when it is UTF-8, else "windows-<number>".
const char *
DictionaryPlat_HostEncoding()
{
   static const std::string name = [] {
      UINT codePage = GetACP();
      if (codePage == CP_UTF8) {
         return std::string("UTF-8");
      }
      return "windows-" + std::to_string(codePage);
   }();
   return name.c_str();
}

const char *
DictionaryPlat_ErrorText(int err, char *buf, size_t size)
{
   wchar_t *wide = nullptr;
   DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                            nullptr, (DWORD)err, 0, (LPWSTR)&wide, 0, nullptr);
   UtilLocalPtr<wchar_t> owned(wide);
   UtilCString text(n > 0 ? Win32Text_ToUtf8(wide) : nullptr);
   if (text == nullptr) {
      std::snprintf(buf, size, "Windows error %d", err);
      return buf;
   }
   // The system's texts end with a period and a line break.
   size_t len = std::strlen(text.get());
   while (len > 0 && std::strchr(".\r\n ", text.get()[len - 1]) != nullptr) {
      len--;
   }
   if (len >= size) {
      len = size - 1;
      while (len > 0 && ((unsigned char)text.get()[len] & 0xC0) == 0x80) {
         len--;  // not in the middle of a character
      }
   }
   std::memcpy(buf, text.get(), len);
   buf[len] = '\0';
   return buf;
}
