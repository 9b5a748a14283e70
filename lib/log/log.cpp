// The logging library's entry points: level filter, formatting into a
// bounded buffer, splitting into lines and choosing their route (the
// outputs, or the pending ring). See log.h.
//
// Formatting runs outside the log lock, on the stack for short messages;
// everything that touches the outputs or the ring runs under the lock.
// Only the first-level holder of the lock writes to the outputs, so that
// a message logged from inside the output path (rotation, say) waits in
// the ring instead of recursing into it.
#include "lib/log/log.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "lib/log/logInt.h"
#include "lib/log/logPlatform.h"
#include "lib/misc/logHook.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/vthreadBase.h"
#include "lib/string/str.h"

constinit LogState logState;

static_assert(LOG_HOOK_INFO == LOG_LEVEL_INFO && LOG_HOOK_WARNING == LOG_LEVEL_WARNING);

namespace {

/*
 * The modules below the log, the file library among them, report through
 * lib/misc/logHook.h: their lines come in here before and after Log_Init
 * alike. The writer goes in ahead of every ordinary initialiser, whatever
 * the link order, so that a line logged while a program's objects are
 * initialised waits in the pending ring instead of being lost.
 */
__attribute__((constructor(101))) void
LogInstallHookWriter()
{
   LogHook_SetWriter(LogV);
}

// Lines the throttle held back, for a program's own statistics.
std::atomic<uint64_t> logThrottledLines{0};

}  // namespace

uint64_t
Log_ThrottledCount()
{
   return logThrottledLines.load(std::memory_order_relaxed);
}

const LogLevelRow LogLevelInfo[LOG_LEVEL_ROWS] = {
   {100, LOG_EVENT_ERROR, 'E'},       {105, LOG_EVENT_ERROR, 'E'},
   {110, LOG_EVENT_WARNING, 'W'},     {115, LOG_EVENT_INFORMATION, 'A'},
   {120, LOG_EVENT_INFORMATION, 'I'}, {125, LOG_EVENT_INFORMATION, 'I'},
   {130, LOG_EVENT_INFORMATION, 'I'}, {135, LOG_EVENT_INFORMATION, 'D'},
   {136, LOG_EVENT_INFORMATION, 'D'}, {137, LOG_EVENT_INFORMATION, 'D'},
   {138, LOG_EVENT_INFORMATION, 'D'}, {139, LOG_EVENT_INFORMATION, 'D'},
   {140, LOG_EVENT_INFORMATION, 'D'}, {141, LOG_EVENT_INFORMATION, 'D'},
   {142, LOG_EVENT_INFORMATION, 'D'}, {143, LOG_EVENT_INFORMATION, 'D'},
   {144, LOG_EVENT_INFORMATION, 'D'}, {145, LOG_EVENT_INFORMATION, 'D'},
};

namespace {

constexpr int ROW_OF_INFO = 4;
const char LONG_LINE[] = "*LONG LINE TRUNCATION*\n";

bool
LogFilteredOut(int32_t level, int32_t minLevel)
{
   return level != LOG_LEVEL_AUDIT && level > minLevel;
}

/*
 * Formats the message. Returns the text (the local buffer, or the
 * borrowed message buffer, left in *borrowed) and its length.
 */
char *
LogFormat(char *local, const char *format, va_list args, char **borrowed,
          size_t *length)
{
   va_list copy;
   va_copy(copy, args);
   int n = Str_Vsnprintf(local, LOG_LOCAL_BUFFER, format, copy);
   va_end(copy);
   if (n >= 0) {
      *length = (size_t)n;
      return local;
   }

   char *buf = LogBorrowBuffer(&logState.messageBuffer);
   *borrowed = buf;
   if (buf != nullptr) {
      va_copy(copy, args);
      n = Str_Vsnprintf(buf, LOG_BUFFER_SIZE, format, copy);
      va_end(copy);
      if (n >= 0) {
         *length = (size_t)n;
         return buf;
      }
   }

   char *largest = buf != nullptr ? buf : local;
   size_t size = buf != nullptr ? LOG_BUFFER_SIZE : LOG_LOCAL_BUFFER;
   std::memset(largest, 0, size);
   va_copy(copy, args);
   Str_Vsnprintf(largest, size, format, copy);
   va_end(copy);
   *length = LogCutToWholeCharacter(largest, size);
   if (*length == 0) {
      std::memcpy(largest, LONG_LINE, sizeof LONG_LINE);
      *length = sizeof LONG_LINE - 1;
   }
   return largest;
}

/*
 * Splits the message into lines and hands each to its route: the outputs
 * or the pending ring.
 */
void
LogSplitLines(const char *text, size_t length, int row, bool toRing)
{
   // The blank lines that end the message, found once: each of them is a
   // line of its own, where a blank line before more text continues it.
   size_t textEnd = length;
   while (textEnd > 0 && text[textEnd - 1] == '\n') {
      textEnd--;
   }
   size_t at = 0;
   bool first = true;
   while (at < length) {
      const char *nl = static_cast<const char *>(std::memchr(text + at, '\n', length - at));
      size_t segLen = nl != nullptr ? (size_t)(nl - (text + at)) + 1 : length - at;
      const char *seg = text + at;

      bool continuation = !first && !logState.midLine && at < textEnd;
      LogLineHeader header;
      LogFillHeader(&header, row, continuation);
      bool writePrefix = !logState.midLine;
      if (toRing) {
         LogRingPutLine(header, seg, segLen, writePrefix);
      } else {
         LogWriteLine(header, seg, segLen, writePrefix);
      }
      logState.midLine = seg[segLen - 1] != '\n';
      at += segLen;
      first = false;
   }
}

/*
 * Brings the outputs up to date before new lines: a rotation that is due,
 * the banner of a new file, and the lines waiting in the ring.
 */
void
LogOutputsReady()
{
   if (logState.fd >= 0) {
      if (logState.rotateSize != 0 && logState.bytesWritten > logState.rotateSize) {
         LogRotateBySize(&logState);
      }
      LogWriteBanner(&logState);
   }
   LogRingDrain();
}

/*
 * Whether a line may go to the outputs now, under the log lock: the log
 * is started, has an output, and this thread is not inside it already.
 */
bool
LogOutputsOpen()
{
   return logState.initialised && logState.lockDepth == 1 &&
          (logState.fd >= 0 || logState.eventSource != nullptr);
}

void
LogToOutputs(const char *text, size_t length, int row)
{
   LogOutputsReady();
   LogSplitLines(text, length, row, false);
}

}  // namespace

int
LogLevelRowIndex(int32_t level)
{
   for (int i = 0; i < LOG_LEVEL_ROWS; i++) {
      if (LogLevelInfo[i].level == level) {
         return i;
      }
   }
   return ROW_OF_INFO;
}

MXUserRecLock *
LogGetLock()
{
   MXUserRecLock *lock = logState.lock.load(std::memory_order_acquire);
   if (lock != nullptr) {
      return lock;
   }
   char name[64];
   Str_Snprintf(name, sizeof name, "logLock_%p", (void *)&logState);
   return MXUser_CreateSingletonRecLock(&logState.lock, name, LOG_LOCK_RANK);
}

char *
LogBorrowBuffer(std::atomic<char *> *slot)
{
   return slot->exchange(nullptr, std::memory_order_acquire);
}

void
LogReturnBuffer(std::atomic<char *> *slot, char *buffer)
{
   if (buffer != nullptr) {
      slot->store(buffer, std::memory_order_release);
   }
}

size_t
LogCutToWholeCharacter(char *text, size_t size)
{
   size_t n = strnlen(text, size);
   if (n == 0 || size < 2) {
      return 0;
   }
   // Drop the last byte; keep room for "\n" and the NUL even when the
   // text filled the whole buffer.
   size_t keep = n - 1 < size - 2 ? n - 1 : size - 2;
   keep = Str_TrimIncompleteUtf8(text, keep);
   if (keep == 0) {
      return 0;
   }
   text[keep] = '\n';
   text[keep + 1] = '\0';
   return keep + 1;
}

void
LogV(int level, const char *format, va_list args)
{
   UtilSavedError saved;
   int row = LogLevelRowIndex(level);
   if (LogFilteredOut(level, logState.stderrMinLevel.load(std::memory_order_relaxed)) &&
       LogFilteredOut(level, logState.logMinLevel.load(std::memory_order_relaxed))) {
      return;
   }

   char local[LOG_LOCAL_BUFFER];
   char *borrowed = nullptr;
   size_t length = 0;
   char *text = LogFormat(local, format, args, &borrowed, &length);

   MXUserRecLock *lock = LogGetLock();
   if (lock != nullptr) {
      MXUserRecHeld held(lock);
      logState.lockDepth++;

      if (level <= logState.stderrMinLevel) {
         LogPlat_WriteStderr(text, length);
      }
      if (!LogFilteredOut(level, logState.logMinLevel)) {
         bool outputs = LogOutputsOpen();
         bool throttled = outputs && LogThrottleCheck(&logState, &logState.throttle, length);
         bool toRing = !outputs || throttled;
         if (throttled) {
            logThrottledLines.fetch_add(1, std::memory_order_relaxed);
         }
         if (toRing) {
            LogSplitLines(text, length, row, true);
         } else {
            LogToOutputs(text, length, row);
         }
      }

      logState.lockDepth--;
   }
   LogReturnBuffer(&logState.messageBuffer, borrowed);
}

void
Log_FlushPending()
{
   if (!logState.linesPending.load(std::memory_order_relaxed)) {
      return;
   }
   MXUserRecLock *lock = LogGetLock();
   if (lock == nullptr) {
      return;
   }
   // Like Log, a flush keeps the caller's last error: it may come between
   // a failed call and the reading of its error, and it writes and rotates.
   UtilSavedError saved;
   MXUserRecHeld held(lock);
   logState.lockDepth++;
   // Charging nothing, the check only asks whether the throttle has lifted.
   if (LogOutputsOpen() && !LogThrottleCheck(&logState, &logState.throttle, 0)) {
      LogOutputsReady();
   }
   logState.lockDepth--;
}

void
Log(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   LogV(LOG_LEVEL_INFO, format, args);
   va_end(args);
}

void
Warning(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   LogV(LOG_LEVEL_WARNING, format, args);
   va_end(args);
}
