// The log file's writer, its rotation by size, and the throttle.
// Everything here runs with the log lock held.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "lib/file/file.h"
#include "lib/log/logInt.h"
#include "lib/misc/clock.h"
#include "lib/log/logPlatform.h"
#include "lib/misc/msgList.h"
#include "lib/string/str.h"

uint64_t (*LogMonotonicUsec)() = Clock_MonotonicUsec;

namespace {

constexpr uint64_t RATE_WINDOW_USEC = 5000000;
constexpr uint64_t THROTTLED_WINDOW_USEC = 60000000;

// A level-120 prefix for a notice, built with the current time and thread.
size_t
LogNoticePrefix(char *buf, size_t size)
{
   LogLineHeader header;
   LogFillHeader(&header, LogLevelRowIndex(LOG_LEVEL_INFO), false);
   return LogBuildPrefix(header, buf, size);
}

bool
LogWriteWhole(int fd, const char *data, size_t length)
{
   return LogPlat_Write(fd, data, length) == (long)length;
}

}  // namespace

int
LogOpenFile(const char *path, MsgList **messages)
{
   int fd = LogPlat_Open(path);
   if (fd >= 0) {
      return fd;
   }
   MsgList_Append(messages,
                  "@&!*@*@(msg.log.openFailed)Cannot open or create the log file '%s': %s\n",
                  path, std::strerror(errno));
   char *dir = nullptr;
   try {
      // The file library's paths take memory that, when it runs out,
      // throws; Log reopens through here and must not. Without the
      // directory the second open fails like the first.
      File_DirAndBase(path, &dir, nullptr);
      if (dir != nullptr && dir[0] != '\0') {
         File_MakeDirTree(dir, nullptr);
      }
   } catch (const std::bad_alloc &) {
   }
   std::free(dir);
   if (messages != nullptr) {
      MsgList_Free(*messages);
      *messages = nullptr;
   }
   fd = LogPlat_Open(path);
   if (fd < 0) {
      MsgList_Append(messages,
                     "@&!*@*@(msg.log.openFailed)Cannot open or create the log file '%s': %s\n",
                     path, std::strerror(errno));
   }
   return fd;
}

void
LogWriteFile(LogState *state, const char *data, size_t length)
{
   if (state->bytesDiscarded != 0) {
      char notice[LOG_NOTICE_BUFFER];
      size_t at = LogNoticePrefix(notice, sizeof notice);
      int n = Str_Snprintf(notice + at, sizeof notice - at,
                           ">>> Error writing log, %llu bytes discarded. Disk full?\n",
                           (unsigned long long)state->bytesDiscarded);
      size_t len = n >= 0 ? at + (size_t)n : std::strlen(notice);
      if (LogWriteWhole(state->fd, notice, len)) {
         state->bytesDiscarded = 0;
      }
   }
   long n = LogPlat_Write(state->fd, data, length);
   size_t written = n > 0 ? (size_t)n : 0;
   state->bytesWritten += written;
   state->bytesDiscarded += length - written;
   if (state->syncAfterWrite) {
      LogPlat_Sync(state->fd);
   }
}

void
LogRotateBySize(LogState *state)
{
   if (state->rotating) {
      return;
   }
   state->rotating = true;
   // The old descriptor stays open (the file can be renamed while open)
   // until the new file takes its number over: closed any earlier, the
   // number could be handed to another thread's file in between, and the
   // takeover would silently replace that file.
   int oldFd = state->fd;
   if (state->keepOld != 0) {
      File_Rotate(state->fileName, (int)state->keepOld, state->fastRotation, nullptr);
   }
   int fd = LogOpenFile(state->fileName, nullptr);
   if (fd < 0) {
      // Nobody to report to: from now on lines go to the system logger,
      // or wait in the pending ring.
      LogPlat_Close(oldFd);
      state->rotating = false;
      state->fd = -1;
      return;
   }
   state->bytesWritten = 0;
   state->bytesDiscarded = 0;
   if (LogPlat_Dup2(fd, oldFd)) {
      LogPlat_Close(fd);
      fd = oldFd;
   } else {
      LogPlat_Close(oldFd);
   }
   state->fd = fd;
   state->needBanner = true;
   state->rotating = false;
}

bool
LogThrottleCheck(LogState *state, LogThrottle *throttle, size_t length)
{
   if (throttle->bytesPerSec == LOG_NO_BPS_LIMIT) {
      return false;
   }
   bool wasThrottled = throttle->throttled;
   uint64_t before = throttle->byteCount;
   throttle->byteCount += length;
   if (throttle->byteCount < throttle->threshold) {
      throttle->throttled = false;
   } else if (throttle->bytesPerSec == 0) {
      throttle->throttled = true;
   } else {
      uint64_t now = LogMonotonicUsec();
      if (!throttle->measuring) {
         // The first window starts where the threshold is crossed; the
         // bytes beyond it are the first to count.
         throttle->measuring = true;
         throttle->lastTime = now;
         throttle->lastByteCount = before > throttle->threshold ? before : throttle->threshold;
      }
      uint64_t window = throttle->throttled ? THROTTLED_WINDOW_USEC : RATE_WINDOW_USEC;
      uint64_t elapsed = now - throttle->lastTime;
      uint64_t used = throttle->byteCount - throttle->lastByteCount;
      if (elapsed > window) {
         uint64_t rate = used * 1000000 / elapsed;
         throttle->lastTime = now;
         throttle->lastByteCount = throttle->byteCount;
         throttle->throttled = rate > throttle->bytesPerSec;
      } else if (!throttle->throttled &&
                 used > (uint64_t)throttle->bytesPerSec * (window / 1000000)) {
         // The window's budget is spent: a runaway producer is stopped now,
         // not at the window's end. The throttled window starts here.
         throttle->lastTime = now;
         throttle->lastByteCount = throttle->byteCount;
         throttle->throttled = true;
      }
   }
   if (throttle->throttled && !wasThrottled) {
      LogWriteThrottleNotice(state, throttle);
   }
   return throttle->throttled;
}

bool
LogWriteDroppedNotice(LogState *state, uint64_t bytes)
{
   char notice[LOG_NOTICE_BUFFER];
   size_t at = LogNoticePrefix(notice, sizeof notice);
   int n = Str_Snprintf(notice + at, sizeof notice - at,
                        "<<< %s dropped %llu bytes of held-back lines >>>\n",
                        state->throttle.name, (unsigned long long)bytes);
   size_t len = n >= 0 ? at + (size_t)n : std::strlen(notice);
   bool whole = state->fd < 0 || LogWriteWhole(state->fd, notice, len);
   if (state->eventSource != nullptr) {
      LogWriteEventLog(state, notice, LOG_LEVEL_INFO);
   }
   return whole;
}

void
LogWriteThrottleNotice(LogState *state, const LogThrottle *throttle)
{
   char notice[LOG_NOTICE_BUFFER];
   size_t at = LogNoticePrefix(notice, sizeof notice);
   int n = Str_Snprintf(notice + at, sizeof notice - at, "<<< %s Throttled >>>\n",
                        throttle->name);
   size_t len = n >= 0 ? at + (size_t)n : std::strlen(notice);
   if (state->fd >= 0) {
      LogWriteBanner(state);
      LogPlat_Write(state->fd, notice, len);
   }
   if (state->eventSource != nullptr) {
      LogWriteEventLog(state, notice, LOG_LEVEL_INFO);
   }
}
