// Internals of the bounded formatter, for its tests and its fuzzer.
#pragma once

#include <cstddef>

/*
 * Rewrites a format of this code base's dialect into the C library's
 * printf: "%I64u" becomes "%llu", "%Iu" "%zu", "%I32d" "%d", "%p" a
 * fixed-width upper-case hexadecimal number. Writes the result and its NUL
 * into out when out is not null (the caller sizes it from a first call
 * with null). Returns the result's length; *changed tells whether it
 * differs from format.
 */
size_t StrTranslateFormat(const char *format, char *out, bool *changed);
