// Thin platform layer for what the collector asks of its process, apart
// from sockets (lib/net): the limit on open files, the signal of a
// broken pipe, the operator's stop in the foreground, the debugger break
// and the init log's stream. The POSIX back end
// is salvorPlatPosix.cpp.
#pragma once

#include <cstdint>
#include <cstdio>

/*
 * Raises the process's limit on open files to at least `wanted`, as far
 * as the system allows (up to its hard limit). Returns true when the
 * limit now reaches `wanted`; *limit receives the limit in force.
 */
bool SalvorPlat_RaiseOpenFileLimit(uint64_t wanted, uint64_t *limit);

/*
 * A write to a pipe whose reader has gone (standard error read by a
 * program that ended) fails with an error instead of ending the process.
 */
void SalvorPlat_IgnoreBrokenPipe();

/*
 * Calls `onStop` when the operator asks the foreground process to stop:
 * SIGINT (Ctrl-C) or SIGTERM on POSIX, a console control event on
 * Windows. `onStop` runs in a signal handler or on a thread of the
 * system's, so it may only do what is safe there. A second request ends
 * the process at once, as it would have without this.
 */
void SalvorPlat_OnStopRequest(void (*onStop)());

// Stops in an attached debugger; without one, does nothing (the break
// would only end the process).
void SalvorPlat_DebugBreak();

/*
 * Opens the UTF-8 `path` as a text stream for reading and appending
 * ("a+"), or null with errno set. Windows' narrow fopen would read the
 * path in the ANSI code page, so a user folder outside it would be lost.
 */
std::FILE *SalvorPlat_OpenTextAppend(const char *path);
