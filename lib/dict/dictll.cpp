// Line-level reading of dictionary files; see dictll.h.
#include "lib/dict/dictll.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/misc/panic.h"
#include "lib/string/str.h"
#include "lib/misc/utilScoped.h"

namespace {

constexpr size_t DICTLL_CHUNK = 64 * 1024;

bool
DictLLIsBlank(char c)
{
   return c == ' ' || c == '\t';
}

/*
 * Replaces "|XX" by its byte in value[0, *length); false when one makes
 * a NUL byte.
 */
bool
DictLLUnescape(char *value, size_t *length)
{
   char *out = static_cast<char *>(std::memchr(value, '|', *length));
   if (out == nullptr) {
      return true;
   }
   const char *in = out;
   const char *end = value + *length;
   while (in < end) {
      if (*in == '|' && end - in >= 3 && Str_HexDigitValue(in[1]) >= 0 && Str_HexDigitValue(in[2]) >= 0) {
         char byte = (char)(Str_HexDigitValue(in[1]) * 16 + Str_HexDigitValue(in[2]));
         if (byte == '\0') {
            return false;
         }
         *out++ = byte;
         in += 3;
      } else {
         *out++ = *in++;
      }
   }
   *length = (size_t)(out - value);
   return true;
}

}  // namespace

struct DictLLReader {
   DictLLReadFn read;
   void *context;
   char *buf;        // bytes read and not yet handed out: [pos, len)
   size_t pos;
   size_t len;
   size_t capacity;
   bool started;     // the byte-order mark was looked for
   bool sawBOM;
   bool skipLF;      // the previous line ended with a carriage return
   bool eof;
};

DictLLReader *
DictLL_CreateReader(DictLLReadFn read, void *context)
{
   DictLLReader *r = static_cast<DictLLReader *>(Util_SafeCalloc(1, sizeof *r));
   r->read = read;
   r->context = context;
   r->capacity = DICTLL_CHUNK;
   r->buf = static_cast<char *>(Util_SafeMalloc(r->capacity));
   return r;
}

void
DictLL_FreeReader(DictLLReader *reader)
{
   if (reader != nullptr) {
      std::free(reader->buf);
      std::free(reader);
   }
}

bool
DictLL_SawBOM(const DictLLReader *reader)
{
   return reader->sawBOM;
}

namespace {

// Reads more bytes after those kept; false at the end or on error.
bool
DictLLFill(DictLLReader *r, bool *error)
{
   if (r->eof) {
      return false;
   }
   if (r->pos > 0) {
      std::memmove(r->buf, r->buf + r->pos, r->len - r->pos);
      r->len -= r->pos;
      r->pos = 0;
   }
   if (r->capacity - r->len < DICTLL_CHUNK / 2) {
      r->capacity *= 2;  // a line longer than the buffer: grow it
      r->buf = static_cast<char *>(Util_SafeRealloc(r->buf, r->capacity));
   }
   long n =
      Util_RetryOnEintr([&] { return r->read(r->context, r->buf + r->len, r->capacity - r->len); });
   if (n < 0) {
      *error = true;
      return false;
   }
   if (n == 0) {
      r->eof = true;
      return false;
   }
   r->len += (size_t)n;
   return true;
}

}  // namespace

DictLLStatus
DictLL_ReadLine(DictLLReader *r, char **line, size_t *length)
{
   bool error = false;
   if (!r->started) {
      while (r->len < 3 && DictLLFill(r, &error)) {
      }
      if (error) {
         return DICTLL_READ_ERROR;
      }
      r->started = true;
      if (r->len >= 3 && std::memcmp(r->buf, "\xEF\xBB\xBF", 3) == 0) {
         r->sawBOM = true;
         r->pos = 3;
      }
   }
   size_t scanned = 0;  // bytes after pos known to hold no line end
   for (;;) {
      if (r->skipLF && r->pos < r->len) {
         r->skipLF = false;
         if (r->buf[r->pos] == '\n') {
            r->pos++;
         }
      }
      char *start = r->buf + r->pos;
      size_t avail = r->len - r->pos;
      char *end = nullptr;
      for (char *p = start + scanned; p < start + avail; p++) {
         if (*p == '\n' || *p == '\r') {
            end = p;
            break;
         }
      }
      if (end != nullptr) {
         r->skipLF = *end == '\r';
         *line = start;
         *length = (size_t)(end - start);
         r->pos += *length + 1;
         return DICTLL_LINE;
      }
      if (r->skipLF) {
         // A carriage return ended the buffer: its line feed comes first.
         if (!DictLLFill(r, &error)) {
            r->skipLF = false;
            if (error) {
               return DICTLL_READ_ERROR;
            }
         }
         continue;
      }
      scanned = avail;
      if (!DictLLFill(r, &error)) {
         if (error) {
            return DICTLL_READ_ERROR;
         }
         if (avail == 0) {
            return DICTLL_EOF;
         }
         *line = r->buf + r->pos;
         *length = avail;
         r->pos = r->len;
         return DICTLL_LINE;
      }
   }
}

DictLLLineKind
DictLL_ParseLine(char *line, size_t length, const char **name, size_t *nameLength,
                 const char **value, size_t *valueLength)
{
   char *p = line;
   char *end = line + length;
   while (p < end && DictLLIsBlank(*p)) {
      p++;
   }
   if (p == end || *p == '#') {
      return DICTLL_COMMENT;
   }
   char *nameStart = p;
   while (p < end && *p != '\0' && !DictLLIsBlank(*p) && *p != '#' && *p != '=') {
      p++;
   }
   if (p == nameStart) {
      return DICTLL_SYNTAX_ERROR;
   }
   *name = nameStart;
   *nameLength = (size_t)(p - nameStart);
   while (p < end && DictLLIsBlank(*p)) {
      p++;
   }
   if (p == end || *p != '=') {
      return DICTLL_SYNTAX_ERROR;
   }
   p++;
   while (p < end && DictLLIsBlank(*p)) {
      p++;
   }
   char *valueStart;
   size_t valueLen;
   if (p < end && *p == '"') {
      valueStart = ++p;
      while (p < end && *p != '"' && *p != '\0') {
         p++;
      }
      if (p == end || *p != '"') {
         return DICTLL_SYNTAX_ERROR;
      }
      valueLen = (size_t)(p - valueStart);
      p++;
   } else {
      valueStart = p;
      while (p < end && *p != '\0' && !DictLLIsBlank(*p) && *p != '#') {
         p++;
      }
      valueLen = (size_t)(p - valueStart);
   }
   while (p < end && DictLLIsBlank(*p)) {
      p++;
   }
   if (p < end && *p != '#') {
      return DICTLL_SYNTAX_ERROR;
   }
   if (!DictLLUnescape(valueStart, &valueLen)) {
      return DICTLL_NUL_VALUE;
   }
   *value = valueStart;
   *valueLength = valueLen;
   return DICTLL_VARIABLE;
}
