// Bounded printf-style formatting; see str.h.
#include "lib/string/str.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/misc/panic.h"

namespace {

/*
 * Rewrites the dialect's size prefixes into the C library's: "I64" becomes
 * "ll" and a lone "I" before an integer conversion becomes "z". Returns
 * the format to use: the original when it has nothing to rewrite.
 */
const char *
TranslateFormat(const char *format, char *local, size_t localSize, std::string *heap)
{
   if (std::strchr(format, 'I') == nullptr) {
      return format;
   }
   std::string out;
   out.reserve(std::strlen(format) + 8);
   for (const char *p = format; *p != '\0';) {
      if (*p != '%') {
         out += *p++;
         continue;
      }
      out += *p++;
      if (*p == '%') {
         out += *p++;
         continue;
      }
      while (*p != '\0' && std::strchr("-+ #0123456789.*'", *p) != nullptr) {
         out += *p++;
      }
      if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
         out += "ll";
         p += 3;
      } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
         p += 3;
      } else if (p[0] == 'I' && p[1] != '\0' && std::strchr("diouxX", p[1]) != nullptr) {
         out += 'z';
         p++;
      }
   }
   if (out.size() < localSize) {
      std::memcpy(local, out.c_str(), out.size() + 1);
      return local;
   }
   *heap = std::move(out);
   return heap->c_str();
}

}  // namespace

size_t
Str_CompleteUtf8Length(const char *text, size_t length)
{
   size_t lead = length;
   while (lead > 0 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) {
      lead--;
   }
   if (lead == 0) {
      return length;  // nothing but continuation bytes: not UTF-8, leave it
   }
   unsigned char c = static_cast<unsigned char>(text[lead - 1]);
   size_t need = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3
               : (c & 0xF8) == 0xF0 ? 4 : 1;
   return length - (lead - 1) < need ? lead - 1 : length;
}

size_t
Str_TrimIncompleteUtf8(char *buf, size_t length)
{
   size_t complete = Str_CompleteUtf8Length(buf, length);
   if (complete < length) {
      buf[complete] = '\0';
   }
   return complete;
}

int
Str_Vsnprintf(char *buf, size_t size, const char *format, va_list args)
{
   if (size == 0) {
      return -1;
   }
   char local[256];
   std::string heap;
   const char *fmt = TranslateFormat(format, local, sizeof local, &heap);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
   int n = std::vsnprintf(buf, size, fmt, args);
#pragma GCC diagnostic pop
   if (n < 0) {
      buf[0] = '\0';
      return -1;
   }
   if ((size_t)n >= size) {
      Str_TrimIncompleteUtf8(buf, size - 1);
      return -1;
   }
   return n;
}

int
Str_Snprintf(char *buf, size_t size, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   int n = Str_Vsnprintf(buf, size, format, args);
   va_end(args);
   return n;
}

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

char *
Str_Vasprintf(size_t *length, const char *format, va_list args)
{
   char local[256];
   std::string heap;
   const char *fmt = TranslateFormat(format, local, sizeof local, &heap);
   va_list copy;
   va_copy(copy, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
   int n = std::vsnprintf(nullptr, 0, fmt, copy);
   va_end(copy);
   if (n < 0) {
      return nullptr;
   }
   char *out = static_cast<char *>(std::malloc((size_t)n + 1));
   if (out == nullptr) {
      return nullptr;
   }
   std::vsnprintf(out, (size_t)n + 1, fmt, args);
#pragma GCC diagnostic pop
   if (length != nullptr) {
      *length = (size_t)n;
   }
   return out;
}

char *
Str_Asprintf(size_t *length, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   char *out = Str_Vasprintf(length, format, args);
   va_end(args);
   return out;
}
