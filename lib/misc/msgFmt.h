// Message-format arguments: the conversions of a printf-style format read
// once, and the arguments of a call captured by their types, so that the
// text can be formatted later, in another language and argument order.
//
// Formats take the dialect of str.h (%I64d, %Id, ...) and positional
// conversions ("%2$s", widths "*1$"). A format may not mix positional and
// plain conversions, leave a position unused, use one position with two
// types, or ask for "%n".
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

enum MsgFmtArgType {
   MSGFMT_ARG_INVALID = 0,
   MSGFMT_ARG_INT32,    // int and the promoted char/short conversions
   MSGFMT_ARG_INT64,    // long, long long, I64, size_t, intmax_t, ptrdiff_t
   MSGFMT_ARG_FLOAT64,  // double
   MSGFMT_ARG_STRING8,  // char *, captured as an owned copy (null stays null)
   MSGFMT_ARG_PTR,      // void *, kept as an address only
};

struct MsgFmt_Arg {
   int32_t type;  // MsgFmtArgType
   union {
      int32_t signed32;
      int64_t signed64;
      double float64;
      char *string8;
      const void *ptr;
   } v;
};

/*
 * Reads the conversions of format and, when args is given, captures one
 * argument per position from it. On success *argsOut (may be null when
 * not wanted) holds *numArgs entries, freed with MsgFmt_FreeArgs. On
 * failure returns false with a static description of the fault in *error.
 */
bool MsgFmt_GetArgs(const char *format, va_list args, MsgFmt_Arg **argsOut,
                    int *numArgs, const char **error);
// The types the conversions of format ask for, without arguments: the
// same checks as MsgFmt_GetArgs. *types is freed with free().
bool MsgFmt_GetTypes(const char *format, int32_t **types, int *numArgs, const char **error);

MsgFmt_Arg *MsgFmt_CopyArgs(const MsgFmt_Arg *args, int numArgs);
void MsgFmt_FreeArgs(MsgFmt_Arg *args, int numArgs);

/*
 * Formats format with captured arguments onto the heap (free with free()).
 * Returns null when the format does not fit the arguments: a conversion
 * whose position is missing or whose type differs from the captured one.
 */
char *MsgFmt_Asprintf(size_t *length, const char *format, const MsgFmt_Arg *args,
                      int numArgs);
