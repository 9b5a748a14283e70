// What differs between the platforms the tests run on, for the few tests
// that must know: a test that can hold on one platform only skips itself
// on the other and says why.
#pragma once

#if defined(_WIN32)
#include <windows.h>

constexpr bool TEST_ON_WINDOWS = true;
// Whether Windows is Wine's, which differs from it where noted.
inline bool
TestUnderWine()
{
   HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
   return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
// One or more digits in a death test's regular expression: GoogleTest's
// own simple syntax on Windows, POSIX extended ones elsewhere.
#define TEST_RE_DIGITS "\\d+"
#else
constexpr bool TEST_ON_WINDOWS = false;
inline bool
TestUnderWine()
{
   return false;
}
#define TEST_RE_DIGITS "[0-9]+"
#endif

// The exit code a parent sees of a process that called exit(-1).
constexpr int TEST_EXIT_MINUS_ONE = TEST_ON_WINDOWS ? -1 : 255;
