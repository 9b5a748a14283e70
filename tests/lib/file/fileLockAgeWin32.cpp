// Dating a lock directory's entry back, on Windows: a directory's times
// are set through a handle opened with backup semantics, which the C
// run-time's calls do not ask for; see fileLockTestUtil.h.
#include <windows.h>

#include "fileLockTestUtil.h"
#include "lib/misc/win32Text.h"

bool
DateBack(const std::string &path, int seconds)
{
   wchar_t *wide = Win32Text_ToUtf16(path.c_str());
   HANDLE h = CreateFileW(wide, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
   free(wide);
   if (h == INVALID_HANDLE_VALUE) {
      return false;
   }
   FILETIME now;
   GetSystemTimeAsFileTime(&now);
   ULARGE_INTEGER t;
   t.LowPart = now.dwLowDateTime;
   t.HighPart = now.dwHighDateTime;
   t.QuadPart -= (ULONGLONG)seconds * 10000000;  // in units of 100 ns
   FILETIME then{t.LowPart, t.HighPart};
   bool ok = SetFileTime(h, nullptr, &then, &then);
   CloseHandle(h);
   return ok;
}
