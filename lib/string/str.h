// Bounded printf-style formatting.
//
// Formats understand the usual conversions plus the dialect used across
// this code base: %I64u, %I64d, %I64x (64-bit) and %Iu, %Id, %Ix (size_t),
// and %p prints an address as upper-case hexadecimal of pointer width with
// leading zeros and no prefix ("0x%p" gives 0x00007F3A12C04E10, a null
// pointer 0000000000000000). The bounded functions do not allocate for
// formats of ordinary length and never throw.
// Every function leaves its buffer NUL-terminated; a text that does not
// fit is cut at a whole UTF-8 character.
#pragma once

#include <cstdarg>
#include <cstddef>

/*
 * Marks a printf-style function so that the compiler checks every call's
 * arguments against its format: fmt is the format's parameter number,
 * args the first argument's (0 for a va_list).
 */
#if defined(__GNUC__)
// The C99 dialect; a platform whose compiler takes "printf" for another
// one (mingw-w64: the Microsoft C library's) names it gnu_printf.
#ifndef STR_PRINTF_FORMAT
#define STR_PRINTF_FORMAT printf
#endif
#define PRINTF_DECL(fmt, args) __attribute__((format(STR_PRINTF_FORMAT, fmt, args)))
#else
#define PRINTF_DECL(fmt, args)
#endif

// Number of bytes written (without the NUL), or -1 when the text did not fit.
int Str_Vsnprintf(char *buf, size_t size, const char *format, va_list args) PRINTF_DECL(3, 0);
int Str_Snprintf(char *buf, size_t size, const char *format, ...) PRINTF_DECL(3, 4);

// Formats onto the heap (free with free()); null when memory is short.
char *Str_Vasprintf(size_t *length, const char *format, va_list args) PRINTF_DECL(2, 0);
char *Str_Asprintf(size_t *length, const char *format, ...) PRINTF_DECL(2, 3);

// Cuts the text in buf (at most size bytes) back so that it does not end
// inside a multi-byte UTF-8 sequence. Returns the new length.
size_t Str_TrimIncompleteUtf8(char *buf, size_t length);
// The length of the first `length` bytes of text without an incomplete
// trailing UTF-8 sequence; text is not changed.
size_t Str_CompleteUtf8Length(const char *text, size_t length);

// The value of a hexadecimal digit of either case, or -1.
int Str_HexDigitValue(char c);
