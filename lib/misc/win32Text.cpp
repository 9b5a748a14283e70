// UTF-8 and UTF-16 conversion of the Win32 back ends; see win32Text.h.
#include "lib/misc/win32Text.h"

#include <cstdlib>
#include <windows.h>

wchar_t *
Win32Text_ToUtf16(const char *text)
{
   if (text == nullptr) {
      return nullptr;
   }
   int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
   if (n <= 0) {
      return nullptr;
   }
   wchar_t *out = (wchar_t *)std::malloc((size_t)n * sizeof *out);
   if (out != nullptr &&
       MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, n) != n) {
      std::free(out);
      out = nullptr;
   }
   return out;
}

char *
Win32Text_ToUtf8(const wchar_t *text)
{
   if (text == nullptr) {
      return nullptr;
   }
   int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0,
                               nullptr, nullptr);
   if (n <= 0) {
      return nullptr;
   }
   char *out = (char *)std::malloc((size_t)n);
   if (out != nullptr && WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out, n,
                                             nullptr, nullptr) != n) {
      std::free(out);
      out = nullptr;
   }
   return out;
}
