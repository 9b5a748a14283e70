// What the collector needs before its log and its socket exist: the
// debug-mode init log, the probe of a configured directory, and the start
// of the socket library; and the collector's fatal exit.
#pragma once

#include "lib/string/str.h"  // PRINTF_DECL

constexpr const char *SALVOR_INIT_LOG_NAME = "salvor_init.log";
constexpr const char *SALVOR_PROBE_FILE_NAME = "foo";

/*
 * Appends a message to the init log in the per-user safe temporary
 * directory; only in debug mode, where it is also echoed to standard error
 * so that the person at the console sees why a start is refused.
 */
void SalvorWin32InitLog(const char *format, ...) PRINTF_DECL(1, 2);
// 0 when the directory exists (or was made) and a file can be created in it.
int SalvorWin32ProbeDirectory(const char *dir);
bool SalvorWin32InitWinsock();

// The collector's fatal exit: standard error, the log, exit status 1.
[[noreturn]] void SalvorFatal(const char *format, ...) PRINTF_DECL(1, 2);
/*
 * Has `observer` called with the text of a fatal exit just before the
 * process ends (the service reports it to its manager). Null removes it.
 */
void SalvorSetFatalObserver(void (*observer)(const char *text));
