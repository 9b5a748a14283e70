// The system logger as an output of the log: each assembled line goes to
// it with the level's entry type, and a file's content can be copied into
// it when the system logger takes over from, or joins, a file.
#include <cstdlib>
#include <cstring>

#include "lib/log/logInt.h"
#include "lib/log/logPlatform.h"
#include "lib/misc/panic.h"

namespace {

constexpr uint32_t EVENT_ID = 1000;
constexpr size_t COPY_CHUNK = 16384;
constexpr size_t LINE_LIMIT = 32765;

void
LogCloseEventSource(LogState *state)
{
   if (state->eventSource != nullptr) {
      LogPlat_SysClose(state->eventSource->handle);
      std::free(state->eventSource->name);
      std::free(state->eventSource);
      state->eventSource = nullptr;
   }
}

}  // namespace

bool
LogSetupEventLog(LogState *state, const char *systemLoggerID, uint32_t use)
{
   if (use == LOG_SYSTEM_LOGGER_NONE) {
      LogCloseEventSource(state);
      state->systemLoggerUse = LOG_SYSTEM_LOGGER_NONE;
      return true;
   }
   if (systemLoggerID == nullptr || systemLoggerID[0] == '\0') {
      state->systemLoggerUse = LOG_SYSTEM_LOGGER_NONE;
      return false;
   }
   LogCloseEventSource(state);
   void *handle = LogPlat_SysOpen(systemLoggerID);
   if (handle == nullptr) {
      state->systemLoggerUse = LOG_SYSTEM_LOGGER_NONE;
      return false;
   }
   LogEventSource *source = static_cast<LogEventSource *>(Util_SafeCalloc(1, sizeof *source));
   source->eventId = EVENT_ID;
   source->name = Util_SafeStrdup(systemLoggerID);
   source->handle = handle;
   state->eventSource = source;
   state->systemLoggerUse = use;
   return true;
}

void
LogWriteEventLog(LogState *state, const char *text, int32_t level)
{
   if (state->eventSource == nullptr) {
      return;
   }
   const LogLevelRow &row = LogLevelInfo[LogLevelRowIndex(level)];
   LogPlat_SysReport(state->eventSource->handle, row.eventType, row.level, text);
}

void
LogCopyFileToEventLog(LogState *state, int fd)
{
   if (!LogPlat_SeekStart(fd)) {
      return;
   }
   char *chunk = static_cast<char *>(Util_SafeMalloc(COPY_CHUNK));
   char *line = static_cast<char *>(Util_SafeMalloc(LOG_BUFFER_SIZE));
   size_t used = 0;
   long n;
   while ((n = LogPlat_Read(fd, chunk, COPY_CHUNK)) > 0) {
      for (long i = 0; i < n; i++) {
         line[used++] = chunk[i];
         if (chunk[i] == '\n' || used == LINE_LIMIT) {
            if (chunk[i] != '\n') {
               // The line is too long: end it here; the byte that did not
               // fit starts the next one.
               line[used - 1] = '\n';
               line[used] = '\0';
               LogWriteEventLog(state, line, LOG_LEVEL_INFO);
               line[0] = chunk[i];
               used = 1;
               continue;
            }
            line[used] = '\0';
            LogWriteEventLog(state, line, LOG_LEVEL_INFO);
            used = 0;
         }
      }
   }
   if (used > 0) {
      line[used++] = '\n';
      line[used] = '\0';
      LogWriteEventLog(state, line, LOG_LEVEL_INFO);
   }
   std::free(line);
   std::free(chunk);
}
