// What the logging library asks of the platform: the log file's
// descriptor calls, the system logger and the host facts the
// banner prints. The POSIX back end is logPosix.cpp, the Windows one
// logWin32.cpp. Calls that fail set errno (and on Windows the system's
// last error too).
#pragma once

#include <cstddef>
#include <cstdint>

// Opens for reading and appending, creating it (0644), not inherited.
int LogPlat_Open(const char *path);
// Bytes written (possibly fewer than asked) or -1.
long LogPlat_Write(int fd, const void *data, size_t length);
long LogPlat_Read(int fd, void *buf, size_t length);
bool LogPlat_Sync(int fd);
void LogPlat_Close(int fd);
// Makes `to` refer to the file of `from`.
bool LogPlat_Dup2(int from, int to);
bool LogPlat_Truncate(int fd);
bool LogPlat_SeekStart(int fd);
int64_t LogPlat_FileSize(int fd);  // -1 when unknown
void LogPlat_WriteStderr(const char *text, size_t length);

// The system logger. A sink replaces it for tests.
struct LogSystemLoggerSink {
   void *(*open)(const char *name);
   void (*report)(void *handle, uint16_t eventType, int32_t level, const char *text);
   void (*close)(void *handle);
};
void *LogPlat_SysOpen(const char *name);
void LogPlat_SysReport(void *handle, uint16_t eventType, int32_t level, const char *text);
void LogPlat_SysClose(void *handle);
void LogPlat_SetSystemLoggerSink(const LogSystemLoggerSink *sink);  // null: the real one

// Host facts for the banner.
const char *LogPlat_Codepage();
const char *LogPlat_Encoding();
void LogPlat_HostDescription(char *buf, size_t size);
