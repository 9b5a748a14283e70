// Message-format arguments; see msgFmt.h.
#include "lib/misc/msgFmt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/misc/panic.h"

namespace {

// Positions beyond this are refused: no message has that many arguments,
// and a position fixes the size of the argument array.
constexpr int MSGFMT_MAX_POSITION = 100;

enum LengthClass { LEN_NONE, LEN_HH, LEN_H, LEN_L, LEN_LL, LEN_J, LEN_Z, LEN_T, LEN_BIG_L, LEN_I32 };

// One conversion of a format.
struct Conversion {
   const char *start;     // the '%'
   const char *end;       // just past the conversion character
   std::string flags;
   int width = -1;        // literal width, or -1
   int widthArg = -1;     // argument index of a '*' width, or -1
   bool hasPrecision = false;
   int precision = -1;    // literal precision (-1: given by widthArg/precisionArg or none)
   int precisionArg = -1;
   LengthClass length = LEN_NONE;
   char conv = 0;         // 0 for "%%"
   int arg = -1;          // argument index of the value
};

struct ParsedFormat {
   std::vector<Conversion> conversions;
   std::vector<int32_t> types;        // per argument index
   std::vector<LengthClass> lengths;  // per argument index, as first seen
};

bool
MsgFmtParseNumber(const char **p, int *value)
{
   if (**p < '0' || **p > '9') {
      return false;
   }
   long n = 0;
   while (**p >= '0' && **p <= '9') {
      if (n <= 1000000) {
         n = n * 10 + (**p - '0');
      }
      (*p)++;
   }
   *value = n > 1000000 ? 1000001 : (int)n;
   return true;
}

// Reads "n$" at *p when present: the 1-based position, else 0; -1 for
// "0$", which names no argument.
int
MsgFmtParsePosition(const char **p)
{
   const char *q = *p;
   int n;
   if (MsgFmtParseNumber(&q, &n) && *q == '$') {
      *p = q + 1;
      return n > 0 ? n : -1;
   }
   return 0;
}

bool
MsgFmtTypeOf(char conv, LengthClass length, int32_t *type, const char **error)
{
   switch (conv) {
   case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
      switch (length) {
      case LEN_NONE: case LEN_HH: case LEN_H: case LEN_I32:
         *type = MSGFMT_ARG_INT32;
         return true;
      case LEN_BIG_L:
         *error = "invalid length modifier for an integer conversion";
         return false;
      default:
         *type = MSGFMT_ARG_INT64;
         return true;
      }
   case 'c':
      if (length != LEN_NONE) {
         *error = "wide characters are not supported";
         return false;
      }
      *type = MSGFMT_ARG_INT32;
      return true;
   case 's':
      if (length != LEN_NONE) {
         *error = "wide strings are not supported";
         return false;
      }
      *type = MSGFMT_ARG_STRING8;
      return true;
   case 'p':
      if (length != LEN_NONE) {
         *error = "invalid length modifier for %p";
         return false;
      }
      *type = MSGFMT_ARG_PTR;
      return true;
   case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
      if (length != LEN_NONE && length != LEN_L) {
         *error = "invalid length modifier for a floating point conversion";
         return false;
      }
      *type = MSGFMT_ARG_FLOAT64;
      return true;
   case 'n':
      *error = "%n is not allowed";
      return false;
   case 'S': case 'C':
      *error = "wide characters are not supported";
      return false;
   case '\0':
      *error = "format ends inside a conversion";
      return false;
   default:
      *error = "unknown conversion";
      return false;
   }
}

class Parser {
public:
   Parser(ParsedFormat *out) : out_(out) {}

   bool Parse(const char *format, const char **error)
   {
      for (const char *p = format; *p != '\0';) {
         if (*p != '%') {
            p++;
            continue;
         }
         Conversion c;
         c.start = p++;
         if (*p == '%') {
            c.end = ++p;
            out_->conversions.push_back(c);
            continue;
         }
         int position = MsgFmtParsePosition(&p);
         while (*p != '\0' && std::strchr("-+ #0'", *p) != nullptr) {
            c.flags += *p++;
         }
         if (*p == '*') {
            p++;
            if (!Star(MsgFmtParsePosition(&p), &c.widthArg, error)) {
               return false;
            }
         } else {
            MsgFmtParseNumber(&p, &c.width);
         }
         if (*p == '.') {
            p++;
            c.hasPrecision = true;
            if (*p == '*') {
               p++;
               if (!Star(MsgFmtParsePosition(&p), &c.precisionArg, error)) {
                  return false;
               }
            } else if (!MsgFmtParseNumber(&p, &c.precision)) {
               c.precision = 0;
            }
         }
         c.length = ParseLength(&p);
         c.conv = *p;
         int32_t type;
         if (!MsgFmtTypeOf(c.conv, c.length, &type, error)) {
            return false;
         }
         p++;
         c.end = p;
         if (!Take(position, type, c.length, &c.arg, error)) {
            return false;
         }
         out_->conversions.push_back(c);
      }
      for (int32_t t : out_->types) {
         if (t == MSGFMT_ARG_INVALID) {
            *error = "an argument position is not used";
            return false;
         }
      }
      return true;
   }

private:
   static LengthClass ParseLength(const char **p)
   {
      const char *q = *p;
      LengthClass length = LEN_NONE;
      if (q[0] == 'h' && q[1] == 'h') {
         length = LEN_HH, q += 2;
      } else if (q[0] == 'h') {
         length = LEN_H, q++;
      } else if (q[0] == 'l' && q[1] == 'l') {
         length = LEN_LL, q += 2;
      } else if (q[0] == 'l') {
         length = LEN_L, q++;
      } else if (q[0] == 'q') {
         length = LEN_LL, q++;
      } else if (q[0] == 'L') {
         length = LEN_BIG_L, q++;
      } else if (q[0] == 'j') {
         length = LEN_J, q++;
      } else if (q[0] == 'z') {
         length = LEN_Z, q++;
      } else if (q[0] == 't') {
         length = LEN_T, q++;
      } else if (q[0] == 'I' && q[1] == '6' && q[2] == '4') {
         length = LEN_LL, q += 3;
      } else if (q[0] == 'I' && q[1] == '3' && q[2] == '2') {
         length = LEN_I32, q += 3;
      } else if (q[0] == 'I') {
         length = LEN_Z, q++;
      }
      *p = q;
      return length;
   }

   bool Star(int position, int *arg, const char **error)
   {
      return Take(position, MSGFMT_ARG_INT32, LEN_NONE, arg, error);
   }

   // Assigns the next (or the given) argument index to one use.
   bool Take(int position, int32_t type, LengthClass length, int *arg, const char **error)
   {
      if (position < 0) {
         *error = "unknown conversion";
         return false;
      }
      if (position > 0) {
         if (plain_) {
            *error = "positional and plain conversions are mixed";
            return false;
         }
         positional_ = true;
         if (position > MSGFMT_MAX_POSITION) {
            *error = "argument position too large";
            return false;
         }
         *arg = position - 1;
      } else {
         if (positional_) {
            *error = "positional and plain conversions are mixed";
            return false;
         }
         plain_ = true;
         if (next_ >= MSGFMT_MAX_POSITION) {
            *error = "too many arguments";
            return false;
         }
         *arg = next_++;
      }
      if ((size_t)*arg >= out_->types.size()) {
         out_->types.resize((size_t)*arg + 1, MSGFMT_ARG_INVALID);
         out_->lengths.resize((size_t)*arg + 1, LEN_NONE);
      }
      int32_t &slot = out_->types[(size_t)*arg];
      if (slot != MSGFMT_ARG_INVALID && slot != type) {
         *error = "an argument is used with two different types";
         return false;
      }
      if (slot == MSGFMT_ARG_INVALID) {
         slot = type;
         out_->lengths[(size_t)*arg] = length;
      }
      return true;
   }

   ParsedFormat *out_;
   bool positional_ = false;
   bool plain_ = false;
   int next_ = 0;
};

char *
MsgFmtCopyString(const char *s)
{
   return s == nullptr ? nullptr : Util_SafeStrdup(s);
}

// The int argument at index (a '*' width or precision).
bool
MsgFmtIntArg(const MsgFmt_Arg *args, int numArgs, int index, int *value)
{
   if (index >= numArgs || args[index].type != MSGFMT_ARG_INT32) {
      return false;
   }
   *value = args[index].v.signed32;
   return true;
}

// The printf conversion for c with its widths resolved; false when an
// argument is missing or of another type than the conversion reads.
bool
MsgFmtBuildConversion(const Conversion &c, const MsgFmt_Arg *args, int numArgs,
                      std::string *conversion)
{
   *conversion = "%" + c.flags;
   if (c.widthArg >= 0) {
      int w;
      if (!MsgFmtIntArg(args, numArgs, c.widthArg, &w)) {
         return false;
      }
      *conversion += std::to_string(w);  // a negative width reads as the '-' flag
   } else if (c.width >= 0) {
      *conversion += std::to_string(c.width);
   }
   if (c.precisionArg >= 0) {
      int prec;
      if (!MsgFmtIntArg(args, numArgs, c.precisionArg, &prec)) {
         return false;
      }
      if (prec >= 0) {  // a negative precision counts as none
         *conversion += "." + std::to_string(prec);
      }
   } else if (c.hasPrecision) {
      *conversion += "." + std::to_string(c.precision);
   }
   if (c.arg >= numArgs) {
      return false;
   }
   const MsgFmt_Arg &a = args[c.arg];
   int32_t type;
   const char *error;
   if (!MsgFmtTypeOf(c.conv, c.length, &type, &error) || type != a.type) {
      return false;
   }
   switch (a.type) {
   case MSGFMT_ARG_INT32:
      *conversion += c.length == LEN_HH ? "hh" : c.length == LEN_H ? "h" : "";
      break;
   case MSGFMT_ARG_INT64:
      *conversion += "ll";
      break;
   default:
      break;
   }
   *conversion += c.conv;
   return true;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
/*
 * A pointer as the GNU C library prints "%p" ("0x" and lower-case hex
 * digits, "(nil)" for null) on every platform, whose C libraries differ
 * there: the text goes through the conversion's flags and width as a
 * string (a precision, meaningless for a pointer, is dropped).
 */
int
MsgFmtPrintPointer(const std::string &conversion, const void *ptr, char *buf, size_t size)
{
   char text[32];
   if (ptr == nullptr) {
      std::snprintf(text, sizeof text, "(nil)");
   } else {
      std::snprintf(text, sizeof text, "0x%llx", (unsigned long long)(uintptr_t)ptr);
   }
   std::string asString = conversion.substr(0, conversion.find_first_of(".p"));
   asString += 's';
   return std::snprintf(buf, size, asString.c_str(), text);
}

int
MsgFmtPrintArg(const std::string &conversion, const MsgFmt_Arg &a, char *buf, size_t size)
{
   switch (a.type) {
   case MSGFMT_ARG_INT32:
      return std::snprintf(buf, size, conversion.c_str(), a.v.signed32);
   case MSGFMT_ARG_INT64:
      return std::snprintf(buf, size, conversion.c_str(), (long long)a.v.signed64);
   case MSGFMT_ARG_FLOAT64:
      return std::snprintf(buf, size, conversion.c_str(), a.v.float64);
   case MSGFMT_ARG_STRING8:
      return std::snprintf(buf, size, conversion.c_str(),
                           a.v.string8 == nullptr ? "(null)" : a.v.string8);
   default:
      return MsgFmtPrintPointer(conversion, a.v.ptr, buf, size);
   }
}
#pragma GCC diagnostic pop

// Appends one conversion formatted with its captured argument.
bool
MsgFmtFormatOne(const Conversion &c, const MsgFmt_Arg *args, int numArgs, std::string *out)
{
   std::string conversion;
   if (!MsgFmtBuildConversion(c, args, numArgs, &conversion)) {
      return false;
   }
   const MsgFmt_Arg &a = args[c.arg];
   char local[256];
   int n = MsgFmtPrintArg(conversion, a, local, sizeof local);
   if (n < 0) {
      return false;
   }
   if ((size_t)n < sizeof local) {
      out->append(local, (size_t)n);
      return true;
   }
   std::string big((size_t)n + 1, '\0');
   MsgFmtPrintArg(conversion, a, big.data(), big.size());
   out->append(big.data(), (size_t)n);
   return true;
}

bool
MsgFmtGetTypes(const char *format, int32_t **types, int *numArgs, const char **error)
{
   ParsedFormat parsed;
   if (!Parser(&parsed).Parse(format, error)) {
      return false;
   }
   *numArgs = (int)parsed.types.size();
   if (types != nullptr) {
      *types = static_cast<int32_t *>(Util_SafeMalloc(parsed.types.size() * sizeof(int32_t) + 1));
      if (!parsed.types.empty()) {  // data() of an empty vector may be null
         std::memcpy(*types, parsed.types.data(), parsed.types.size() * sizeof(int32_t));
      }
   }
   return true;
}

bool
MsgFmtGetArgs(const char *format, va_list args, MsgFmt_Arg **argsOut, int *numArgs,
              const char **error)
{
   ParsedFormat parsed;
   if (!Parser(&parsed).Parse(format, error)) {
      return false;
   }
   size_t n = parsed.types.size();
   MsgFmt_Arg *out = static_cast<MsgFmt_Arg *>(Util_SafeCalloc(n + 1, sizeof(MsgFmt_Arg)));
   va_list ap;
   va_copy(ap, args);
   for (size_t i = 0; i < n; i++) {
      MsgFmt_Arg &a = out[i];
      a.type = parsed.types[i];
      switch (a.type) {
      case MSGFMT_ARG_INT32:
         a.v.signed32 = va_arg(ap, int);
         break;
      case MSGFMT_ARG_INT64:
         switch (parsed.lengths[i]) {
         case LEN_L: a.v.signed64 = va_arg(ap, long); break;
         case LEN_J: a.v.signed64 = (int64_t)va_arg(ap, intmax_t); break;
         case LEN_Z: a.v.signed64 = (int64_t)va_arg(ap, size_t); break;
         case LEN_T: a.v.signed64 = (int64_t)va_arg(ap, ptrdiff_t); break;
         default: a.v.signed64 = va_arg(ap, long long); break;
         }
         break;
      case MSGFMT_ARG_FLOAT64:
         a.v.float64 = va_arg(ap, double);
         break;
      case MSGFMT_ARG_STRING8:
         a.v.string8 = MsgFmtCopyString(va_arg(ap, const char *));
         break;
      default:
         a.v.ptr = va_arg(ap, const void *);
         break;
      }
   }
   va_end(ap);
   *numArgs = (int)n;
   if (argsOut != nullptr) {
      *argsOut = out;
   } else {
      MsgFmt_FreeArgs(out, (int)n);
   }
   return true;
}

char *
MsgFmtAsprintf(size_t *length, const char *format, const MsgFmt_Arg *args, int numArgs)
{
   ParsedFormat parsed;
   const char *error;
   if (!Parser(&parsed).Parse(format, &error) || (int)parsed.types.size() > numArgs) {
      return nullptr;
   }
   std::string out;
   const char *p = format;
   for (const Conversion &c : parsed.conversions) {
      out.append(p, (size_t)(c.start - p));
      if (c.conv == 0) {
         out += '%';
      } else if (!MsgFmtFormatOne(c, args, numArgs, &out)) {
         return nullptr;
      }
      p = c.end;
   }
   out.append(p);
   if (length != nullptr) {
      *length = out.size();
   }
   return Util_SafeStrndup(out.data(), out.size());
}

}  // namespace

bool
MsgFmt_GetTypes(const char *format, int32_t **types, int *numArgs, const char **error)
{
   return MEM_ALLOC_GUARD([&] { return MsgFmtGetTypes(format, types, numArgs, error); });
}

bool
MsgFmt_GetArgs(const char *format, va_list args, MsgFmt_Arg **argsOut, int *numArgs,
               const char **error)
{
   return MEM_ALLOC_GUARD([&] { return MsgFmtGetArgs(format, args, argsOut, numArgs, error); });
}

char *
MsgFmt_Asprintf(size_t *length, const char *format, const MsgFmt_Arg *args, int numArgs)
{
   return MEM_ALLOC_GUARD([&] { return MsgFmtAsprintf(length, format, args, numArgs); });
}

MsgFmt_Arg *
MsgFmt_CopyArgs(const MsgFmt_Arg *args, int numArgs)
{
   MsgFmt_Arg *copy =
      static_cast<MsgFmt_Arg *>(Util_SafeCalloc((size_t)numArgs + 1, sizeof(MsgFmt_Arg)));
   for (int i = 0; i < numArgs; i++) {
      copy[i] = args[i];
      if (args[i].type == MSGFMT_ARG_STRING8) {
         copy[i].v.string8 = MsgFmtCopyString(args[i].v.string8);
      }
   }
   return copy;
}

void
MsgFmt_FreeArgs(MsgFmt_Arg *args, int numArgs)
{
   if (args == nullptr) {
      return;
   }
   for (int i = 0; i < numArgs; i++) {
      if (args[i].type == MSGFMT_ARG_STRING8) {
         std::free(args[i].v.string8);
      }
   }
   std::free(args);
}
