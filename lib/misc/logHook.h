// The log as the modules below it reach it.
//
// The log library sits above misc, the locks and the message lists, which
// still report through it: the log installs its writer here when it is
// loaded (lib/log/log.cpp), and these functions hand their lines to it at
// the levels of Log and Warning. Until a writer is installed, and in a
// program without the log, the lines go nowhere. Like Log and Warning
// they keep the caller's last error (errno, and Windows' GetLastError).
#pragma once

#include <cstdarg>

#include "lib/string/str.h"  // PRINTF_DECL

// The log's LOG_LEVEL_INFO and LOG_LEVEL_WARNING (lib/log/log.h).
constexpr int LOG_HOOK_INFO = 120;
constexpr int LOG_HOOK_WARNING = 110;

typedef void (*LogHookWriter)(int level, const char *format, va_list args);

// Installs writer (null: none) for every thread.
void LogHook_SetWriter(LogHookWriter writer);

void LogHook_Log(const char *format, ...) PRINTF_DECL(1, 2);
void LogHook_Warning(const char *format, ...) PRINTF_DECL(1, 2);
