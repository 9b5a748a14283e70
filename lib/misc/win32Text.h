// UTF-8 and UTF-16 for the Win32 back ends: every string of the library
// is UTF-8, and a wide copy is made only for the platform call that needs
// it, then freed.
#pragma once

#include <cwchar>

// A new UTF-16 copy (free with free()), or null when text is null, is not
// valid UTF-8 or no memory is left.
wchar_t *Win32Text_ToUtf16(const char *text);
// A new UTF-8 copy (free with free()), or null as above.
char *Win32Text_ToUtf8(const wchar_t *text);
