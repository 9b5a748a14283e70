// Internals of the logging library, shared by its source files and its
// tests: the process-wide state, the line header that carries a line's
// prefix data, the pending ring, the outputs and the throttle.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "lib/log/log.h"
#include "lib/lock/ul.h"

struct MsgList;

constexpr uint32_t LOG_BUFFER_SIZE = 32768;   // shared buffers and the ring
constexpr uint32_t LOG_LOCAL_BUFFER = 320;    // first attempt, on the stack
constexpr uint32_t LOG_NOTICE_BUFFER = 192;   // notices and banner lines
constexpr MXRank LOG_LOCK_RANK = 0xff000001;

// Entry types of a level row (as the system logger's priorities are picked).
constexpr uint16_t LOG_EVENT_ERROR = 1;
constexpr uint16_t LOG_EVENT_WARNING = 2;
constexpr uint16_t LOG_EVENT_INFORMATION = 4;

struct LogLevelRow {
   int32_t level;
   uint16_t eventType;
   char designator;
};

constexpr int LOG_LEVEL_ROWS = 18;
extern const LogLevelRow LogLevelInfo[LOG_LEVEL_ROWS];
// Row index of level; unknown levels take the row of level 120.
int LogLevelRowIndex(int32_t level);

// The prefix data of one line, from the moment it was logged to the
// moment it is written; stored in front of the line in the pending ring.
struct LogLineHeader {
   char dateTime[32];
   char millis[8];
   char zone[8];
   char threadName[32];
   char continuation;  // 'T' or 'F'
   char rowIndex;      // 'A' + row
};
static_assert(sizeof(LogLineHeader) == 82, "the header is stored as 82 bytes");

struct LogPendingRing {
   char *base;
   uint32_t writePos;
   uint32_t readPos;
   uint32_t count;
   uint64_t droppedBytes;  // text of the lines pushed out to make room
};

struct LogThrottle {
   const char *name;
   bool throttled;
   uint32_t threshold;
   uint32_t bytesPerSec;
   uint64_t byteCount;
   uint64_t lastTime;       // start of the current window
   uint64_t lastByteCount;  // byteCount at that moment
   bool measuring;          // a window has started (the threshold was crossed)
};

struct LogEventSource {
   uint32_t eventId;
   char *name;
   void *handle;
};

struct LogState {
   // Line format.
   bool useTimeStamps = false;
   bool useMilliseconds = false;
   bool useThreadName = false;
   bool useLevelDesignator = true;
   // Read before the lock is taken, to filter early.
   std::atomic<int32_t> logMinLevel{120};
   std::atomic<int32_t> stderrMinLevel{-1};
   bool midLine = false;

   // Outputs.
   int fd = -1;
   uint32_t systemLoggerUse = 0;
   std::atomic<MXUserRecLock *> lock{nullptr};
   int lockDepth = 0;
   LogThrottle throttle{"Log", false, 0, LOG_NO_BPS_LIMIT, 0, 0, 0, false};
   char *suffix = nullptr;
   char *appName = nullptr;
   char *fileName = nullptr;
   char *appVersion = nullptr;
   bool needBanner = false;
   bool initialised = false;
   bool append = false;
   bool rotating = false;
   bool fastRotation = false;
   bool keep = false;
   bool syncAfterWrite = false;
   bool generatedName = false;
   uint32_t keepOld = 0;
   std::atomic<LogPendingRing *> ring{nullptr};
   // Lines wait in the ring: read without the lock by Log_FlushPending.
   std::atomic<bool> linesPending{false};
   std::atomic<char *> messageBuffer{nullptr};
   std::atomic<char *> lineBuffer{nullptr};
   std::atomic<char *> drainBuffer{nullptr};
   LogEventSource *eventSource = nullptr;
   uint64_t bytesWritten = 0;
   uint64_t rotateSize = 0;
   uint64_t bytesDiscarded = 0;
};

extern LogState logState;

// The log lock, created on first use; null when it cannot be made.
MXUserRecLock *LogGetLock();

// A buffer lent by atomic exchange, returned by a plain store.
char *LogBorrowBuffer(std::atomic<char *> *slot);
void LogReturnBuffer(std::atomic<char *> *slot, char *buffer);

// Cuts text (at most size bytes) back to a whole character and ends it
// with "\n". Returns the new length, or 0 when nothing remains.
size_t LogCutToWholeCharacter(char *text, size_t size);

// Fills the time fields of a header from the current local time.
void LogFillTime(LogLineHeader *header);
// Formats a zone offset given in whole minutes east of UTC.
void LogFormatZone(int64_t offsetMinutes, char out[8]);
// Fills a header for a line of the current thread at a level row.
void LogFillHeader(LogLineHeader *header, int row, bool continuation);

/*
 * Builds the prefix of a line into buf (size bytes). Returns its length.
 */
size_t LogBuildPrefix(const LogLineHeader &header, char *buf, size_t size);
// The route to the outputs: prefix (when asked), segment, then the file
// and the system logger.
void LogWriteLine(const LogLineHeader &header, const char *segment, size_t length,
                  bool writePrefix);

// Pending ring.
LogPendingRing *LogGetRing();
void LogRingPutLine(const LogLineHeader &header, const char *segment, size_t length,
                    bool withHeader);
// Takes the oldest whole line into buf (size bytes); returns its length
// (0 for an empty line) or -1 when the ring holds no whole line.
long LogRingTakeLine(LogPendingRing *ring, char *buf, size_t size);
void LogRingDrain();
void LogRingFree();

// Outputs (all with the log lock held).
bool Log_SetOutput(LogState *state, const char *fileName, const char *config,
                   bool carryOver, bool atInit, uint32_t systemLoggerUse,
                   const char *systemLoggerID, MsgList **messages);
/*
 * Opens the log file at path (appending). When that fails, reports it in
 * *messages (if given), creates the file's directory and tries once more,
 * reporting a second failure too. Returns the descriptor or -1.
 */
int LogOpenFile(const char *path, MsgList **messages);
void LogRotateBySize(LogState *state);
void LogWriteFile(LogState *state, const char *data, size_t length);
void LogWriteEventLog(LogState *state, const char *text, int32_t level);
bool LogThrottleCheck(LogState *state, LogThrottle *throttle, size_t length);
bool LogSetupEventLog(LogState *state, const char *systemLoggerID, uint32_t use);
void LogCopyFileToEventLog(LogState *state, int fd);
// Writes the banner when it is due; false when a line did not go out whole.
bool LogWriteBanner(LogState *state);
// Writes the notice that `bytes` of held-back lines were dropped; false
// when it did not go out whole.
bool LogWriteDroppedNotice(LogState *state, uint64_t bytes);
// Writes the banner if due and the throttle notice.
void LogWriteThrottleNotice(LogState *state, const LogThrottle *throttle);

// Microseconds of a monotonic clock; tests may replace it.
extern uint64_t (*LogMonotonicUsec)();
