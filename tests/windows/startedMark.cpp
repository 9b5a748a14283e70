// Linked into every Windows test program: tells tests/windows/wineTest.sh
// that Wine started the program, by creating the file that
// SALVOR_WINE_STARTED names before any other static constructor runs.
// Without the mark the wrapper takes a failure for Wine's own and runs the
// program again; with it, a crash before the program's first line counts.
#include <windows.h>

namespace {

__attribute__((constructor(101))) void
TestStartedMark()
{
   wchar_t path[MAX_PATH + 1];
   DWORD n = GetEnvironmentVariableW(L"SALVOR_WINE_STARTED", path, MAX_PATH + 1);
   if (n == 0 || n > MAX_PATH) {
      return;
   }
   HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
   if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
   }
}

}  // namespace
