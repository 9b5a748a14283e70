// The logging library: the single channel for diagnostics.
//
// Log writes at level 120 (information), Warning at 110. Both take the
// printf dialect of lib/string/str.h, may be called from any thread,
// before and after the log is started, and leave the caller's last error
// (errno) as they found it. By convention every message ends with "\n".
#pragma once

#include <cstdarg>

constexpr int LOG_LEVEL_WARNING = 110;
constexpr int LOG_LEVEL_INFO = 120;

void Log(const char *format, ...);
void Warning(const char *format, ...);
void LogV(int level, const char *format, va_list args);

/*
 * Starts the log on a file, appending to it. appPrefix names the
 * application ("salvor"). Returns false when the file cannot be opened.
 */
bool Log_InitWithFile(const char *fileName, const char *appPrefix);
// Path of the open log file, or null.
const char *Log_GetFileName();
void Log_Exit();
