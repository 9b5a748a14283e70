// Windows side of miscTestPlatform.h.
#include "tests/lib/misc/miscTestPlatform.h"

#include <cstdlib>
#include <windows.h>

#include "lib/misc/win32Text.h"

namespace misctest {

uint64_t
ThreadId()
{
   return GetCurrentThreadId();
}

unsigned
ProcessId()
{
   return (unsigned)GetCurrentProcessId();
}

std::string
UserName()
{
   wchar_t wide[257];
   DWORD n = sizeof wide / sizeof wide[0];
   if (!GetUserNameW(wide, &n)) {
      return "";
   }
   char *utf8 = Win32Text_ToUtf8(wide);
   std::string name = utf8 != nullptr ? utf8 : "";
   std::free(utf8);
   return name;
}

}  // namespace misctest
