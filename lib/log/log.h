// The logging library: the single channel for diagnostics.
//
// Log writes at level 120 (information), Warning at 110. Both take the
// printf dialect of lib/string/str.h, may be called from any thread,
// before and after the log is started, and leave the caller's last error
// (errno, and Windows' GetLastError) as they found it. By convention every message ends with "\n";
// a message without it leaves the line open for the next one.
//
// Every line gets a prefix: local time with milliseconds and zone offset,
// the thread's name and a level designator ("I120:", or "I120+" on the
// later lines of one message). Lines logged before an output exists, while
// the log is throttled, or from inside the log's own output path wait in
// a 32 KiB ring and are written, with the prefix data of the moment they
// were logged, ahead of the next line that reaches the outputs.
//
// Outputs: a log file (with rotation by size, a throttle and accounting of
// bytes lost to a full disk), the system logger, or both.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "lib/string/str.h"  // PRINTF_DECL

constexpr int LOG_LEVEL_ERROR = 100;
constexpr int LOG_LEVEL_WARNING = 110;
constexpr int LOG_LEVEL_AUDIT = 115;  // never filtered out
constexpr int LOG_LEVEL_INFO = 120;
constexpr int LOG_LEVEL_VERBOSE = 130;
constexpr int LOG_LEVEL_DEBUG = 135;

void Log(const char *format, ...) PRINTF_DECL(1, 2);
void Warning(const char *format, ...) PRINTF_DECL(1, 2);
void LogV(int level, const char *format, va_list args) PRINTF_DECL(2, 0);

constexpr uint32_t LOG_PARAMS_SIGNATURE = 0x1234567;
constexpr uint32_t LOG_NO_BPS_LIMIT = 0xFFFFFFFF;

// systemLoggerUse values.
constexpr uint32_t LOG_SYSTEM_LOGGER_NONE = 0;
constexpr uint32_t LOG_SYSTEM_LOGGER_WITH_FILE = 1;
constexpr uint32_t LOG_SYSTEM_LOGGER_ONLY = 2;

// What the log is started with; Log_ParamsDefaults fills in the defaults.
struct LogParams {
   uint32_t signature;
   const char *fileName;    // log file path, or null
   const char *config;      // preference key holding the path, or null
   const char *suffix;      // suffix of the generated default name
   const char *appName;     // first value of the banner
   const char *appVersion;
   bool append;             // a newly opened file keeps its content
   bool carryOver;          // rotate and empty at open; carry an earlier log over
   bool useThreadName;
   bool useTimeStamps;
   bool useMilliseconds;
   bool useLevelDesignator;
   bool fastRotation;       // read from the keys; Log_Init does not take it
   bool keep;
   bool syncAfterWrite;     // flush to disk after every write
   int32_t stderrMinLevel;  // most verbose level echoed to stderr; -1 none
   int32_t logMinLevel;     // most verbose level written to the outputs
   uint32_t keepOld;        // old copies kept by rotation
   uint32_t throttleThreshold;    // bytes before the throttle measures
   uint32_t throttleBytesPerSec;  // LOG_NO_BPS_LIMIT: none; 0: stop at threshold
   uint32_t rotateSize;     // bytes; 0 never rotates
   uint32_t systemLoggerUse;
   char systemLoggerID[128];
};

void Log_ParamsDefaults(LogParams *params);
// Overlays the log.* preference keys; appPrefix may be null or empty.
void Log_ParamsFromConfig(const char *appPrefix, LogParams *params);
bool Log_Init(const LogParams *params);
bool Log_InitEx(const char *fileName, const char *config, const char *suffix,
                const char *appPrefix, bool echoToStderr);
// Starts the log on a file, appending to it, with the defaults and the
// keys of appPrefix ("salvor").
bool Log_InitWithFile(const char *fileName, const char *appPrefix);

// A copy of the current log file's path (free it with free()), or null
// when no file is open or memory is short.
char *Log_GetFileName();
// Lets everything through from now on (used by Panic).
void Log_DisableThrottling();
/*
 * Writes the lines that wait in the pending ring (held back by the
 * throttle, or logged while the log was busy) when the throttle lets them
 * through now, after a notice of how many bytes the ring had to drop to
 * make room. Meant for a program's idle moments and wake-ups: without
 * it, held-back lines wait for the next line that passes the throttle.
 * Costs one relaxed atomic load when nothing waits.
 */
void Log_FlushPending();
void Log_SetAlwaysKeep(bool keep);
// How many lines the throttle has held back since the process started.
uint64_t Log_ThrottledCount();
// Closes the outputs and returns the log to its state before Log_Init.
void Log_Exit();
