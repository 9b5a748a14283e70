// Platform layer of user messages on Windows; see msgPlatform.h.
//
// - Streams: the runtime library's descriptors 0, 1 and 2 (and those a
//   test makes with _pipe), read and written through their handles.
//   Text for a console is written as UTF-16, so that it shows the same
//   whatever the console's code page.
// - Thread exit: a key of the threads library, as on POSIX
//   (msgThreadExit.cpp), the same kind of key through which this
//   toolchain destroys C++ thread-local objects; it works on threads
//   started by std::thread and by CreateThread alike. A fiber-local
//   slot's callback would run before the objects on threads started by
//   CreateThread.
// - Default front end: the console's, with posts shown in a message box
//   where nothing else would show them (msgBoxWin32.cpp).
#include "lib/user/msgPlatform.h"

#include <cstdlib>
#include <cwchar>
#include <io.h>
#include <string>
#include <windows.h>

#include "lib/misc/platError.h"
#include "lib/misc/platFaultWin32.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"
#include "lib/user/msgBoxWin32.h"

namespace {

HANDLE
MsgWin32Handle(int fd)
{
   return (HANDLE)_get_osfhandle(fd);
}

bool
MsgWin32IsConsole(HANDLE h)
{
   DWORD mode;
   return h != INVALID_HANDLE_VALUE && h != nullptr && GetConsoleMode(h, &mode) != FALSE;
}

// Text on a console, all of it; false when it is not all written.
bool
MsgWin32WriteConsole(HANDLE h, const wchar_t *text)
{
   size_t left = wcslen(text);
   while (left > 0) {
      DWORD n = 0;
      DWORD chunk = left > 16384 ? 16384 : (DWORD)left;
      if (!WriteConsoleW(h, text, chunk, &n, nullptr) || n == 0) {
         return false;
      }
      text += n;
      left -= n;
   }
   return true;
}

}  // namespace

const MsgFrontEnd *
MsgPlat_DefaultFrontEnd()
{
   return MsgBox_FrontEnd();
}

int MsgPlat_StdinFd() { return 0; }
int MsgPlat_StdoutFd() { return 1; }
int MsgPlat_StderrFd() { return 2; }

// A console, not merely a character device (NUL is one too).
bool
MsgPlat_IsTerminal(int fd)
{
   return MsgWin32IsConsole(MsgWin32Handle(fd));
}

bool
MsgPlat_Write(int fd, const char *text, size_t length)
{
   HANDLE h = MsgWin32Handle(fd);
   if (h == INVALID_HANDLE_VALUE) {
      return false;
   }
   if (MsgWin32IsConsole(h)) {
      if (!PlatFault_Allowed(PLAT_WRITE, nullptr, fd)) {
         return false;
      }
      UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(std::string(text, length).c_str()));
      if (wide != nullptr) {
         return MsgWin32WriteConsole(h, wide.get());
      }
      // Not UTF-8: the bytes as they are, in the console's code page.
   }
   while (length > 0) {
      size_t len = length;
      if (!PlatFault_Allowed(PLAT_WRITE, &len, fd)) {
         return false;
      }
      DWORD n = 0;
      DWORD chunk = len > 65536 ? 65536 : (DWORD)len;
      if (!WriteFile(h, text, chunk, &n, nullptr) || n == 0) {
         return false;
      }
      text += n;
      length -= n;
   }
   return true;
}

// A writer that has gone (a closed pipe) is the end of the input.
int
MsgPlat_ReadByte(int fd, char *byte)
{
   if (!PlatFault_Allowed(PLAT_READ, nullptr, fd)) {
      return -1;
   }
   HANDLE h = MsgWin32Handle(fd);
   DWORD n = 0;
   if (h == INVALID_HANDLE_VALUE || !ReadFile(h, byte, 1, &n, nullptr)) {
      return PlatError_IsBrokenPipe(GetLastError()) ? 0 : -1;
   }
   return (int)n;
}
