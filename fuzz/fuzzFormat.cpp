// Fuzzes the bounded formatter and its dialect.
//
// The input is read twice. First, whole, as a format for the dialect's
// translation alone (nothing is printed with it). Then as a recipe for a
// format that asks only for the arguments passed here: its first byte
// picks the buffer size, a '%' byte starts a conversion described by the
// next bytes (type, flags, width, precision), every other byte is literal
// text. Conversions are positional and each type has its own position, so
// that whatever order the input puts them in, each reads an argument of
// its own type.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/string/str.h"
#include "lib/string/strInt.h"

namespace {

struct Conversion {
   const char *text;
   int position;  // 0: "%%"
};

// Positions: 1 int, 2 int64, 3 size_t, 4 double, 5 string, 6 pointer, 7 char.
const Conversion CONVERSIONS[] = {
   {"d", 1},    {"i", 1},    {"u", 1},    {"x", 1},    {"X", 1},    {"o", 1},
   {"I32d", 1}, {"I32u", 1}, {"I64u", 2}, {"I64d", 2}, {"I64x", 2}, {"I64X", 2},
   {"lld", 2},  {"llu", 2},  {"Iu", 3},   {"Id", 3},   {"Ix", 3},   {"zu", 3},
   {"f", 4},    {"e", 4},    {"g", 4},    {"a", 4},    {"s", 5},    {"p", 6},
   {"c", 7},    {"%", 0},
};
constexpr size_t NUM_CONVERSIONS = sizeof CONVERSIONS / sizeof CONVERSIONS[0];
// Uses every position once, so that none is left without a type.
const char TRAILER[] = "|%1$d%2$I64d%3$Iu%4$.1f%5$s%6$p%7$c";

const char STRING_ARG[] = "h\xc3\xa9llo \xe2\x82\xac";

void
CheckTranslation(const uint8_t *data, size_t size)
{
   std::string format(reinterpret_cast<const char *>(data), size);
   bool changed = true;
   size_t length = StrTranslateFormat(format.c_str(), nullptr, &changed);
   std::string out(length + 1, 'Z');
   bool changedAgain = !changed;
   size_t written = StrTranslateFormat(format.c_str(), out.data(), &changedAgain);
   if (written != length || changedAgain != changed || out[length] != '\0' ||
       (!changed && std::strcmp(out.c_str(), format.c_str()) != 0)) {
      std::abort();
   }
}

std::string
BuildFormat(const uint8_t *data, size_t size)
{
   std::string format;
   for (size_t i = 0; i < size; i++) {
      if (data[i] == '\0') {
         continue;
      }
      if (data[i] != '%') {
         format += (char)data[i];
         continue;
      }
      if (i + 4 > size) {
         format += "%%";  // too short for a conversion: a literal '%'
         break;
      }
      const Conversion &c = CONVERSIONS[data[i + 1] % NUM_CONVERSIONS];
      uint8_t flags = data[i + 2];
      uint8_t width = data[i + 3];
      i += 3;
      if (c.position == 0) {
         format += "%%";
         continue;
      }
      format += '%';
      format += std::to_string(c.position);
      format += '$';
      const char *flagChars = "-+ #0'";
      for (int f = 0; f < 6; f++) {
         if (flags & (1u << f)) {
            format += flagChars[f];
         }
      }
      if (flags & 0x40) {
         format += std::to_string(width % 100);
      }
      if (flags & 0x80) {
         format += '.';
         format += std::to_string(width / 3 % 40);
      }
      format += c.text;
   }
   return format + TRAILER;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
int
Format(char *buf, size_t size, const char *format)
{
   return Str_Snprintf(buf, size, format, -42, (int64_t)INT64_MIN + 7, (size_t)SIZE_MAX,
                       -3.25, STRING_ARG, (void *)STRING_ARG, 'q');
}

char *
FormatHeap(size_t *length, const char *format)
{
   return Str_Asprintf(length, format, -42, (int64_t)INT64_MIN + 7, (size_t)SIZE_MAX, -3.25,
                       STRING_ARG, (void *)STRING_ARG, 'q');
}
#pragma GCC diagnostic pop

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size == 0 || size > 8192) {
      return 0;
   }
   CheckTranslation(data, size);

   size_t bufSize = data[0] == 0 ? 0 : (size_t)data[0] * 3;
   std::string format = BuildFormat(data + 1, size - 1);
   char *buf = static_cast<char *>(std::malloc(bufSize + 1));
   buf[bufSize] = 'Z';
   int n = Format(buf, bufSize, format.c_str());
   if (buf[bufSize] != 'Z') {
      std::abort();  // wrote past its buffer
   }
   size_t fullLength = 0;
   char *full = FormatHeap(&fullLength, format.c_str());
   if (full == nullptr || std::strlen(full) != fullLength) {
      std::abort();
   }
   if (bufSize == 0) {
      if (n != -1) {
         std::abort();
      }
   } else {
      size_t got = std::strlen(buf);
      if (got >= bufSize || std::strncmp(buf, full, got) != 0) {
         std::abort();  // not a bounded prefix of the whole text
      }
      if (n >= 0 && ((size_t)n != got || got != fullLength)) {
         std::abort();
      }
      if (n < 0 && fullLength < bufSize) {
         std::abort();  // cut without need
      }
      // Cut inside a character; only the arguments' text counts when
      // the input's own literal bytes may be no UTF-8 at all.
      bool ascii = true;
      for (size_t i = 1; i < size; i++) {
         ascii = ascii && data[i] < 0x80;
      }
      if (n < 0 && ascii && Str_CompleteUtf8Length(buf, got) != got) {
         std::abort();
      }
   }
   std::free(full);
   std::free(buf);
   return 0;
}
