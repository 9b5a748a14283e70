// The system's file times (FILETIME: 100 ns intervals since 1601-01-01
// UTC) against the library's times since 1970; see clockWin32.cpp.
#pragma once

#include <cstdint>
#include <windows.h>

// 100 ns intervals from 1601-01-01 to 1970-01-01.
constexpr int64_t CLOCK_FILETIME_UNIX_EPOCH = 116444736000000000LL;

// 100 ns intervals since 1970 UTC of a file time (negative before 1970).
int64_t Clock_UnixTicksOfFileTime(const FILETIME &fileTime);
// The file time of 100 ns intervals since 1970 UTC.
FILETIME Clock_FileTimeOfUnixTicks(int64_t unixTicks);
