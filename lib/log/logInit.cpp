// Starting and stopping the log: parameters and their defaults, the
// log.* configuration keys, initialisation and the banner of a new file.
#include <cstdlib>
#include <cstring>

#include "lib/misc/preferenceLookup.h"
#include "lib/log/logInt.h"
#include "lib/log/logPlatform.h"
#include "lib/misc/hostinfo.h"
#include "lib/misc/msgList.h"
#include "lib/misc/panic.h"
#include "lib/misc/productState.h"
#include "lib/misc/utilScoped.h"
#include "lib/string/str.h"

namespace {

enum Destination { DEST_NONE = 0, DEST_DISK = 1, DEST_SYSLOG = 2, DEST_BOTH = 3 };

const char *
LogPrefixed(const char *appPrefix, const char *key, char *buf, size_t size)
{
   if (appPrefix == nullptr || appPrefix[0] == '\0') {
      return nullptr;
   }
   return Str_Snprintf(buf, size, "%s.%s", appPrefix, key) >= 0 ? buf : nullptr;
}

/*
 * The keys below are read the same way: the plain key, else the prefixed
 * one; none set keeps *value. A value that does not convert counts as
 * absent, as a negative number or "default" does. Only a key that is set
 * is looked up, and with what the keys after it give as the default, so
 * that a text that does not convert answers the value the field then
 * takes, and the report of it names that value: the prefixed key is
 * therefore read first, and the plain one, when it converts, wins.
 */
template <typename Read>
void
LogReadKey(const char *appPrefix, const char *key, Read read)
{
   char buf[128];
   const char *keys[] = {LogPrefixed(appPrefix, key, buf, sizeof buf), key};
   for (const char *k : keys) {
      if (k != nullptr && Preference_IsSet(k)) {
         read(k);
      }
   }
}

// Boolean key, read as a tristate.
void
LogReadBool(const char *appPrefix, const char *key, bool *value)
{
   LogReadKey(appPrefix, key, [value](const char *k) {
      int v = Preference_GetTriState(*value ? 1 : 0, k);
      if (v >= 0) {
         *value = v != 0;
      }
   });
}

// Integer key.
template <typename T>
void
LogReadInt(const char *appPrefix, const char *key, T *value)
{
   LogReadKey(appPrefix, key, [value](const char *k) {
      int32_t v = Preference_GetLong((int32_t)*value, k);
      if (v >= 0) {
         *value = (T)v;
      }
   });
}

int
LogDestinationOf(const char *value, bool prefixedKey)
{
   if (std::strcmp(value, "none") == 0) {
      return DEST_NONE;
   }
   if (std::strcmp(value, "syslog") == 0) {
      return DEST_SYSLOG;
   }
   if (prefixedKey) {
      if (std::strcmp(value, "disk") == 0) {
         return DEST_DISK;
      }
      if (std::strcmp(value, "disk-and-syslog") == 0 ||
          std::strcmp(value, "syslog-and-disk") == 0) {
         return DEST_BOTH;
      }
   }
   return -1;
}

int
LogGetDestination(const char *appPrefix)
{
   const char *key = "log.destination";
   UtilCString value(Preference_GetString(nullptr, key));
   bool prefixedKey = false;
   char buf[128];
   if (value == nullptr) {
      const char *prefixed = LogPrefixed(appPrefix, key, buf, sizeof buf);
      if (prefixed != nullptr) {
         value.reset(Preference_GetString(nullptr, prefixed));
         prefixedKey = true;
         key = prefixed;
      }
   }
   if (value == nullptr) {
      return DEST_DISK;
   }
   int dest = LogDestinationOf(value.get(), prefixedKey);
   if (dest < 0) {
      Log("%s: invalid %s content (%s); ignored\n", "LogGetDestination", key, value.get());
      dest = DEST_DISK;
   }
   return dest;
}

void
LogReplaceString(char **field, const char *value)
{
   std::free(*field);
   *field = value != nullptr ? Util_SafeStrdup(value) : nullptr;
}

void
LogResetThrottle(LogThrottle *throttle, uint32_t threshold, uint32_t bytesPerSec)
{
   throttle->throttled = false;
   throttle->threshold = threshold;
   throttle->bytesPerSec = bytesPerSec;
   throttle->byteCount = 0;
   throttle->lastTime = 0;
   throttle->lastByteCount = 0;
   throttle->measuring = false;
}

// Returns the state to what it was before Log_Init (the lock stays).
void
LogResetState(LogState *state)
{
   if (state->fd >= 0) {
      LogPlat_Close(state->fd);
   }
   LogSetupEventLog(state, nullptr, LOG_SYSTEM_LOGGER_NONE);
   std::free(state->suffix);
   std::free(state->appName);
   std::free(state->fileName);
   std::free(state->appVersion);
   std::free(state->messageBuffer.exchange(nullptr));
   std::free(state->lineBuffer.exchange(nullptr));
   std::free(state->drainBuffer.exchange(nullptr));
   LogRingFree();

   state->useTimeStamps = false;
   state->useMilliseconds = false;
   state->useThreadName = false;
   state->useLevelDesignator = true;
   state->logMinLevel = 120;
   state->stderrMinLevel = -1;
   state->midLine = false;
   state->fd = -1;
   state->systemLoggerUse = LOG_SYSTEM_LOGGER_NONE;
   LogResetThrottle(&state->throttle, 0, LOG_NO_BPS_LIMIT);
   state->suffix = state->appName = state->fileName = state->appVersion = nullptr;
   state->needBanner = state->initialised = state->append = false;
   state->rotating = state->fastRotation = state->keep = false;
   state->syncAfterWrite = state->generatedName = false;
   state->keepOld = 0;
   state->bytesWritten = state->rotateSize = state->bytesDiscarded = 0;
}

bool
LogAllocateBuffer(std::atomic<char *> *slot)
{
   if (slot->load() == nullptr) {
      slot->store(static_cast<char *>(std::malloc(LOG_BUFFER_SIZE)));
   }
   return slot->load() != nullptr;
}

PRINTF_DECL(4, 5) bool
LogWriteBannerLine(LogState *state, const char *prefix, size_t prefixLen, const char *format, ...)
{
   char line[LOG_NOTICE_BUFFER * 2];
   std::memcpy(line, prefix, prefixLen);
   va_list args;
   va_start(args, format);
   int n = Str_Vsnprintf(line + prefixLen, sizeof line - prefixLen, format, args);
   va_end(args);
   size_t len = n >= 0 ? prefixLen + (size_t)n : std::strlen(line);
   return LogPlat_Write(state->fd, line, len) == (long)len;
}

}  // namespace

void
Log_ParamsDefaults(LogParams *params)
{
   std::memset(params, 0, sizeof *params);
   params->signature = LOG_PARAMS_SIGNATURE;
   params->appName = ProductState_GetName();
   params->appVersion = ProductState_GetVersion();
   params->carryOver = true;
   params->useThreadName = true;
   params->useTimeStamps = true;
   params->useMilliseconds = true;
   params->useLevelDesignator = true;
   params->stderrMinLevel = -1;
   params->logMinLevel = 120;
   params->keepOld = 3;
   params->throttleThreshold = 1000000;
   params->throttleBytesPerSec = 1000;
}

void
Log_ParamsFromConfig(const char *appPrefix, LogParams *params)
{
   bool havePrefix = appPrefix != nullptr && appPrefix[0] != '\0';
   char key[128];
   UtilCString id;
   if (havePrefix && Str_Snprintf(key, sizeof key, "%s.log.syslogID", appPrefix) >= 0) {
      id.reset(Preference_GetString(nullptr, key));
   }
   const char *source = havePrefix ? appPrefix : "quillon";
   if (id != nullptr && id.get()[0] != '\0') {
      source = id.get();
   }
   std::memset(params->systemLoggerID, 0, sizeof params->systemLoggerID);
   std::strncpy(params->systemLoggerID, source, sizeof params->systemLoggerID - 1);

   int dest = LogGetDestination(appPrefix);
   if (!Preference_GetBool(true, "logging") || dest == DEST_NONE) {
      params->fileName = nullptr;
      params->config = nullptr;
      params->systemLoggerUse = LOG_SYSTEM_LOGGER_NONE;
      return;
   }
   LogReadInt(appPrefix, "log.stderrMinLevel", &params->stderrMinLevel);
   LogReadInt(appPrefix, "log.logMinLevel", &params->logMinLevel);
   LogReadBool(appPrefix, "log.useTimeStamps", &params->useTimeStamps);
   LogReadBool(appPrefix, "log.useMilliseconds", &params->useMilliseconds);
   LogReadBool(appPrefix, "log.useThreadName", &params->useThreadName);
   LogReadBool(appPrefix, "log.useLevelDesignator", &params->useLevelDesignator);
   LogReadInt(appPrefix, "log.throttleThreshold", &params->throttleThreshold);
   if (dest != DEST_SYSLOG) {
      LogReadInt(appPrefix, "log.throttleBytesPerSec", &params->throttleBytesPerSec);
      if (params->throttleBytesPerSec == 0) {
         params->throttleBytesPerSec = LOG_NO_BPS_LIMIT;
      }
   }
   bool noLogAfterThreshold = false;
   LogReadBool(appPrefix, "log.noLogAfterThreshold", &noLogAfterThreshold);
   if (noLogAfterThreshold) {
      params->throttleBytesPerSec = 0;
   }
   if (dest == DEST_SYSLOG) {
      params->fileName = nullptr;
      params->config = nullptr;
      params->systemLoggerUse = LOG_SYSTEM_LOGGER_ONLY;
      return;
   }
   params->systemLoggerUse = dest == DEST_BOTH ? LOG_SYSTEM_LOGGER_WITH_FILE
                                               : LOG_SYSTEM_LOGGER_NONE;
   LogReadBool(appPrefix, "log.keep", &params->keep);
   LogReadBool(appPrefix, "log.append", &params->append);
   LogReadInt(appPrefix, "log.keepOld", &params->keepOld);
   LogReadInt(appPrefix, "log.rotateSize", &params->rotateSize);
   LogReadBool(appPrefix, "log.fastRotation", &params->fastRotation);
   LogReadBool(appPrefix, "log.syncAfterWrite", &params->syncAfterWrite);
}

bool
Log_Init(const LogParams *params)
{
   LogState *state = &logState;
   MXUserRecLock *lock = LogGetLock();
   if (lock == nullptr) {
      return false;
   }
   MXUserRecHeld held(lock);
   // Lines logged during the switch (by the file library, say) wait in the
   // pending ring instead of going to the outputs being replaced.
   state->lockDepth++;
   state->midLine = false;
   // needBanner is kept: a file whose banner is still due keeps it due
   // when the log starts again on it; a new file sets it.
   state->useTimeStamps = params->useTimeStamps;
   state->useMilliseconds = params->useMilliseconds;
   state->useThreadName = params->useThreadName;
   state->useLevelDesignator = params->useLevelDesignator;
   state->stderrMinLevel = params->stderrMinLevel;
   state->logMinLevel = params->logMinLevel;

   MsgList *messages = nullptr;
   bool ok;
   if (params->systemLoggerUse == LOG_SYSTEM_LOGGER_ONLY) {
      LogReplaceString(&state->suffix, nullptr);
      LogReplaceString(&state->appName, nullptr);
      LogReplaceString(&state->fileName, nullptr);
      LogReplaceString(&state->appVersion, nullptr);
      state->keep = state->append = state->rotating = false;
      state->keepOld = 0;
      state->rotateSize = 0;
      LogResetThrottle(&state->throttle, params->throttleThreshold, params->throttleBytesPerSec);
      ok = Log_SetOutput(state, nullptr, nullptr, false, false, LOG_SYSTEM_LOGGER_ONLY,
                         params->systemLoggerID, &messages);
   } else {
      LogReplaceString(&state->appName, params->appName);
      LogReplaceString(&state->appVersion, params->appVersion);
      LogReplaceString(&state->suffix, params->suffix);
      state->keep = params->keep;
      state->syncAfterWrite = params->syncAfterWrite;
      state->append = params->append;
      state->keepOld = params->keepOld;
      state->rotateSize = params->rotateSize;
      state->fastRotation = false;
      LogResetThrottle(&state->throttle, params->throttleThreshold, params->throttleBytesPerSec);
      state->rotating = false;
      ok = Log_SetOutput(state, params->fileName, params->config, params->carryOver, true,
                         params->systemLoggerUse, params->systemLoggerID, &messages);
   }
   if (ok) {
      ok = LogGetRing() != nullptr && LogAllocateBuffer(&state->messageBuffer) &&
           LogAllocateBuffer(&state->lineBuffer) && LogAllocateBuffer(&state->drainBuffer);
   }
   state->initialised = ok;
   state->lockDepth--;
   held.Unlock();

   MsgList_Log(messages);
   MsgList_Free(messages);

   if (!ok) {
      MXUserRecHeld again(lock);
      state->lockDepth++;
      LogResetState(state);
      state->lockDepth--;
   }
   return ok;
}

bool
Log_InitEx(const char *fileName, const char *config, const char *suffix,
           const char *appPrefix, bool echoToStderr)
{
   LogParams params;
   Log_ParamsDefaults(&params);
   params.fileName = fileName;
   params.config = config;
   params.suffix = suffix;
   params.carryOver = fileName == nullptr || fileName[0] == '\0';
   if (!echoToStderr) {
      params.stderrMinLevel = -1;
   }
   Log_ParamsFromConfig(appPrefix, &params);
   return Log_Init(&params);
}

bool
Log_InitWithFile(const char *fileName, const char *appPrefix)
{
   return Log_InitEx(fileName, nullptr, nullptr, appPrefix, false);
}

bool
LogWriteBanner(LogState *state)
{
   if (!state->needBanner || state->fd < 0) {
      return true;
   }
   char prefix[LOG_NOTICE_BUFFER];
   LogLineHeader header;
   LogFillHeader(&header, LogLevelRowIndex(LOG_LEVEL_INFO), false);
   size_t prefixLen = LogBuildPrefix(header, prefix, sizeof prefix);
   prefix[prefixLen] = '\0';

   char host[128];
   LogPlat_HostDescription(host, sizeof host);
   bool ok = LogWriteBannerLine(
      state, prefix, prefixLen, "Log for %s pid=%d version=%s build=%s option=%s\n",
      state->appName != nullptr ? state->appName : "", Hostinfo_ProcessId(),
      state->appVersion != nullptr ? state->appVersion : "", ProductState_GetBuildNumber(),
      "Release");
   ok = ok && LogWriteBannerLine(state, prefix, prefixLen, "The process is %zu-bit.\n",
                                 sizeof(void *) * 8);
   ok = ok && LogWriteBannerLine(state, prefix, prefixLen, "Host codepage=%s encoding=%s\n",
                                 LogPlat_Codepage(), LogPlat_Encoding());
   if (ok && !state->useTimeStamps) {
      ok = LogWriteBannerLine(state, prefix, prefixLen, "Log creation time is %s%s%s\n",
                              header.dateTime, header.millis, header.zone);
   }
   // The prefix is the first value of this line's own format.
   ok = ok && LogWriteBannerLine(state, "", 0, "%sHost is %s\n", prefix, host);
   if (ok) {
      state->needBanner = false;
   }
   return ok;
}

char *
Log_GetFileName()
{
   MXUserRecLock *lock = LogGetLock();
   if (lock == nullptr) {
      return nullptr;
   }
   MXUserRecHeld held(lock);
   // Not the safe copy: Panic asks for the name, and must not recurse.
   return logState.fd >= 0 && logState.fileName != nullptr ? strdup(logState.fileName) : nullptr;
}

void
Log_DisableThrottling()
{
   MXUserRecLock *lock = LogGetLock();
   if (lock == nullptr) {
      return;
   }
   MXUserRecHeld held(lock);
   if (logState.initialised) {
      logState.throttle.bytesPerSec = LOG_NO_BPS_LIMIT;
      logState.throttle.throttled = false;
   }
}

void
Log_SetAlwaysKeep(bool keep)
{
   MXUserRecLock *lock = LogGetLock();
   if (lock == nullptr) {
      return;
   }
   MXUserRecHeld held(lock);
   if (logState.initialised && logState.systemLoggerUse != LOG_SYSTEM_LOGGER_ONLY) {
      logState.keep = keep;
   }
}

void
Log_Exit()
{
   MXUserRecLock *lock = LogGetLock();
   if (lock == nullptr) {
      return;
   }
   MXUserRecHeld held(lock);
   logState.lockDepth++;
   LogResetState(&logState);
   logState.lockDepth--;
}
