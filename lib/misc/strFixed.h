// Formatting into a fixed buffer that must hold the text.
//
// A text that does not fit stops the process through Panic, which is
// why these live above the bounded formatter (lib/string/str.h) that
// Panic itself formats with. Reports still name lib/string/str.
#pragma once

#include <cstddef>

#include "lib/string/str.h"

// Like Str_Snprintf, but a text that does not fit stops the process.
int Str_FormatFixed(char *buf, size_t size, const char *format, ...) PRINTF_DECL(3, 4);

// Copies src into buf of size bytes; a text that does not fit stops the process.
char *Str_Strcpy(char *buf, const char *src, size_t size);
