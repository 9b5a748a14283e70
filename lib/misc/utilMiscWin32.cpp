// Win32 back end of the host utilities; see utilMiscPlatform.h.
#include "lib/misc/utilMiscPlatform.h"

#include <cstdlib>
#include <cstring>
#include <windows.h>

#include "lib/misc/win32Text.h"

char *
UtilPlatGetEnv(const char *name)
{
   wchar_t *wideName = Win32Text_ToUtf16(name);
   if (wideName == nullptr) {
      return nullptr;
   }
   char *value = nullptr;
   // The value may change between the two calls: ask again while it grows.
   DWORD size = GetEnvironmentVariableW(wideName, nullptr, 0);
   while (size > 0) {
      wchar_t *buf = (wchar_t *)std::malloc(size * sizeof *buf);
      if (buf == nullptr) {
         break;
      }
      SetLastError(ERROR_SUCCESS);  // an empty value also gives 0
      DWORD n = GetEnvironmentVariableW(wideName, buf, size);
      if (n < size) {
         value = n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND ? nullptr
                                                                   : Win32Text_ToUtf8(buf);
         std::free(buf);
         break;
      }
      std::free(buf);
      size = n;
   }
   std::free(wideName);
   return value;
}

bool
UtilPlatUserName(char *buf, size_t size)
{
   // A longer name fails with ERROR_INSUFFICIENT_BUFFER.
   wchar_t wide[UTIL_USER_NAME_MAX + 1];
   DWORD n = sizeof wide / sizeof wide[0];
   if (!GetUserNameW(wide, &n)) {
      return false;
   }
   char *name = Win32Text_ToUtf8(wide);
   bool ok = name != nullptr && std::strlen(name) < size;
   if (ok) {
      std::strcpy(buf, name);
   }
   std::free(name);
   return ok;
}
