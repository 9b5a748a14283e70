// What a platform error code (errno on POSIX, the system's error code on
// Windows) says, for callers that must tell one failure from the others.
// The back ends are platErrorPosix.cpp and platErrorWin32.cpp.
#pragma once

#include <cstdint>

/*
 * Whether `error` says that the other end of a pipe has gone: the writer
 * closed it (for a reader, the end of the data) or the reader did (for a
 * writer, nobody will read).
 */
bool PlatError_IsBrokenPipe(int64_t error);
