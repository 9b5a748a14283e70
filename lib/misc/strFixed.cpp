// Formatting into a fixed buffer that must hold the text; see strFixed.h.
#include "lib/misc/strFixed.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "lib/misc/panic.h"

int
Str_FormatFixed(char *buf, size_t size, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   int n = Str_Vsnprintf(buf, size, format, args);
   va_end(args);
   if (n < 0) {
      Panic("%s:%d Buffer too small 0x%x\n", "lib/string/str", __LINE__,
            (unsigned)(uintptr_t)__builtin_return_address(0));
   }
   return n;
}

char *
Str_Strcpy(char *buf, const char *src, size_t size)
{
   size_t len = std::strlen(src);
   if (len >= size) {
      Panic("%s:%d Buffer too small 0x%x\n", "lib/string/str", __LINE__,
            (unsigned)(uintptr_t)__builtin_return_address(0));
   }
   std::memcpy(buf, src, len + 1);
   return buf;
}
