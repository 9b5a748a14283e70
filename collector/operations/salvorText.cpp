// Escaped text; see salvorText.h.
#include "collector/operations/salvorText.h"

#include <cstdio>

namespace {

/*
 * The length of the valid UTF-8 sequence at `s` (1 to 4), or 0 when the
 * byte there does not start one: overlong forms, surrogates and values
 * past U+10FFFF are not valid.
 */
size_t
SalvorUtf8Length(const unsigned char *s)
{
   unsigned char c = s[0];
   if (c < 0x80) {
      return 1;
   }
   size_t n;
   unsigned char lo = 0x80, hi = 0xbf;
   if (c >= 0xc2 && c <= 0xdf) {
      n = 2;
   } else if (c >= 0xe0 && c <= 0xef) {
      n = 3;
      lo = c == 0xe0 ? 0xa0 : 0x80;
      hi = c == 0xed ? 0x9f : 0xbf;
   } else if (c >= 0xf0 && c <= 0xf4) {
      n = 4;
      lo = c == 0xf0 ? 0x90 : 0x80;
      hi = c == 0xf4 ? 0x8f : 0xbf;
   } else {
      return 0;
   }
   if (s[1] < lo || s[1] > hi) {
      return 0;
   }
   for (size_t i = 2; i < n; i++) {
      if (s[i] < 0x80 || s[i] > 0xbf) {
         return 0;
      }
   }
   return n;
}

const char REPLACEMENT[] = "\xef\xbf\xbd";

}  // namespace

void
SalvorAppendJsonString(std::string *out, const char *text)
{
   out->push_back('"');
   const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
   while (*s != 0) {
      unsigned char c = *s;
      if (c == '"' || c == '\\') {
         out->push_back('\\');
         out->push_back((char)c);
      } else if (c == '\n') {
         out->append("\\n");
      } else if (c == '\t') {
         out->append("\\t");
      } else if (c == '\r') {
         out->append("\\r");
      } else if (c < 0x20 || c == 0x7f) {
         char esc[8];
         std::snprintf(esc, sizeof esc, "\\u%04x", c);
         out->append(esc);
      } else {
         size_t n = SalvorUtf8Length(s);
         if (n == 0) {
            out->append(REPLACEMENT);
            s++;
            continue;
         }
         out->append(reinterpret_cast<const char *>(s), n);
         s += n;
         continue;
      }
      s++;
   }
   out->push_back('"');
}

void
SalvorAppendLabelValue(std::string *out, const char *text)
{
   const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
   while (*s != 0) {
      if (*s == '"' || *s == '\\') {
         out->push_back('\\');
         out->push_back((char)*s++);
      } else if (*s == '\n') {
         out->append("\\n");
         s++;
      } else {
         size_t n = SalvorUtf8Length(s);
         if (n == 0) {
            out->append(REPLACEMENT);
            n = 1;
         } else {
            out->append(reinterpret_cast<const char *>(s), n);
         }
         s += n;
      }
   }
}

std::string
SalvorSizeText(uint64_t bytes)
{
   if (bytes >= (1u << 20)) {
      return std::to_string(bytes >> 20) + " MiB";
   }
   if (bytes >= (1u << 10)) {
      return std::to_string(bytes >> 10) + " KiB";
   }
   return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}
