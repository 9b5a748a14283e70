// Bounded printf-style formatting; see str.h.
#include "lib/string/str.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/string/strInt.h"

namespace {

// Pointers are printed as the integer of their width: unsigned long, or
// unsigned long long where long stays 32 bits beside 64-bit pointers
// (Windows).
constexpr bool POINTER_IS_LONG = sizeof(void *) == sizeof(unsigned long);
static_assert(POINTER_IS_LONG || sizeof(void *) == sizeof(unsigned long long),
              "pointers are printed as unsigned long or unsigned long long");

// "%p" becomes a hexadecimal number of pointer width, upper case, with
// leading zeros and no "0x" (so that "0x%p" reads as one address).
constexpr const char *POINTER_DIGITS = !POINTER_IS_LONG ? ".16llX"
                                       : sizeof(void *) == 8 ? ".16lX" : ".8lX";
constexpr const char *POINTER_LENGTH = POINTER_IS_LONG ? "lX" : "llX";

}  // namespace

/*
 * Rewrites the dialect into the C library's printf: after "%" and its
 * flags, width and precision, "I64" becomes "ll", "I32" goes, a lone "I"
 * before an integer conversion becomes "z", and "p" becomes POINTER_DIGITS
 * (keeping a precision given). See strInt.h.
 */
size_t
StrTranslateFormat(const char *format, char *out, bool *changed)
{
   size_t at = 0;
   auto emit = [&](const char *text, size_t n) {
      if (out != nullptr) {
         std::memcpy(out + at, text, n);
      }
      at += n;
   };
   *changed = false;
   for (const char *p = format; *p != '\0';) {
      if (*p != '%') {
         const char *next = std::strchr(p, '%');
         size_t n = next != nullptr ? (size_t)(next - p) : std::strlen(p);
         emit(p, n);
         p += n;
         continue;
      }
      if (p[1] == '%') {
         emit(p, 2);
         p += 2;
         continue;
      }
      const char *conversion = p++;
      bool precision = false;
      while (*p != '\0' && std::strchr("-+ #0123456789.*'$", *p) != nullptr) {
         precision = precision || *p == '.';
         p++;
      }
      emit(conversion, (size_t)(p - conversion));
      if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
         emit("ll", 2);
         p += 3;
         *changed = true;
      } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
         p += 3;
         *changed = true;
      } else if (p[0] == 'I' && p[1] != '\0' && std::strchr("diouxX", p[1]) != nullptr) {
         emit("z", 1);
         p++;
         *changed = true;
      } else if (p[0] == 'p') {
         const char *digits = precision ? POINTER_LENGTH : POINTER_DIGITS;
         emit(digits, std::strlen(digits));
         p++;
         *changed = true;
      }
   }
   if (out != nullptr) {
      out[at] = '\0';
   }
   return at;
}

namespace {

/*
 * The format as the C library takes it: the caller's own when nothing
 * needs translating, else a translation in a buffer of its own (on the
 * stack; only a format too long for it takes the heap, and when that
 * fails, fmt is null). Never throws.
 */
class TranslatedFormat {
public:
   explicit TranslatedFormat(const char *format)
   {
      bool changed = false;
      size_t length = StrTranslateFormat(format, nullptr, &changed);
      if (!changed) {
         fmt = format;
         return;
      }
      char *out = local;
      if (length >= sizeof local) {
         heap = static_cast<char *>(std::malloc(length + 1));
         out = heap;
      }
      if (out != nullptr) {
         StrTranslateFormat(format, out, &changed);
         fmt = out;
      }
   }
   ~TranslatedFormat() { std::free(heap); }
   TranslatedFormat(const TranslatedFormat &) = delete;
   TranslatedFormat &operator=(const TranslatedFormat &) = delete;

   const char *fmt = nullptr;

private:
   char local[512];
   char *heap = nullptr;
};

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
   TranslatedFormat translated(format);
   if (translated.fmt == nullptr) {
      buf[0] = '\0';
      return -1;
   }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
   int n = std::vsnprintf(buf, size, translated.fmt, args);
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

char *
Str_Vasprintf(size_t *length, const char *format, va_list args)
{
   TranslatedFormat translated(format);
   const char *fmt = translated.fmt;
   if (fmt == nullptr) {
      return nullptr;
   }
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

int
Str_HexDigitValue(char c)
{
   if (c >= '0' && c <= '9') {
      return c - '0';
   }
   if (c >= 'a' && c <= 'f') {
      return c - 'a' + 10;
   }
   if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
   }
   return -1;
}
