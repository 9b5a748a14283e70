// The log file's writer, its rotation by size, and the throttle.
// Everything here runs with the log lock held.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/file/file.h"
#include "lib/log/logInt.h"
#include "lib/log/logPlatform.h"
#include "lib/user/msgList.h"
#include "lib/string/str.h"

uint64_t (*LogMonotonicUsec)() = LogPlat_MonotonicUsec;

namespace {

constexpr uint64_t RATE_WINDOW_USEC = 5000000;
constexpr uint64_t THROTTLED_WINDOW_USEC = 60000000;

// A level-120 prefix for a notice, built with the current time and thread.
size_t
NoticePrefix(char *buf, size_t size)
{
   LogLineHeader header;
   LogFillHeader(&header, LogLevelRowIndex(LOG_LEVEL_INFO), false);
   return LogBuildPrefix(header, buf, size);
}

bool
WriteWhole(int fd, const char *data, size_t length)
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
   File_DirAndBase(path, &dir, nullptr);
   if (dir != nullptr && dir[0] != '\0') {
      File_MakeDirTree(dir, nullptr);
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
      size_t at = NoticePrefix(notice, sizeof notice);
      int n = Str_Snprintf(notice + at, sizeof notice - at,
                           ">>> Error writing log, %I64u bytes discarded. Disk full?\n",
                           (unsigned long long)state->bytesDiscarded);
      size_t len = n >= 0 ? at + (size_t)n : std::strlen(notice);
      if (WriteWhole(state->fd, notice, len)) {
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
   int oldFd = state->fd;
   LogPlat_Close(oldFd);
   if (state->keepOld != 0) {
      File_Rotate(state->fileName, (int)state->keepOld, state->fastRotation, nullptr);
   }
   int fd = LogOpenFile(state->fileName, nullptr);
   if (fd < 0) {
      // Nobody to report to: from now on lines go to the system logger,
      // or wait in the pending ring.
      state->rotating = false;
      state->fd = -1;
      return;
   }
   state->bytesWritten = 0;
   state->bytesDiscarded = 0;
   if (fd != oldFd && LogPlat_Dup2(fd, oldFd)) {
      LogPlat_Close(fd);
      fd = oldFd;
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
   throttle->byteCount += length;
   if (throttle->byteCount < throttle->threshold) {
      throttle->throttled = false;
   } else if (throttle->bytesPerSec == 0) {
      throttle->throttled = true;
   } else {
      uint64_t now = LogMonotonicUsec();
      uint64_t window = throttle->throttled ? THROTTLED_WINDOW_USEC : RATE_WINDOW_USEC;
      uint64_t elapsed = now - throttle->lastTime;
      if (elapsed > window) {
         uint64_t rate = (throttle->byteCount - throttle->lastByteCount) * 1000000 / elapsed;
         throttle->lastTime = now;
         throttle->lastByteCount = throttle->byteCount;
         throttle->throttled = rate > throttle->bytesPerSec;
      }
   }
   if (throttle->throttled && !wasThrottled) {
      LogWriteThrottleNotice(state, throttle);
   }
   return throttle->throttled;
}

void
LogWriteThrottleNotice(LogState *state, const LogThrottle *throttle)
{
   char notice[LOG_NOTICE_BUFFER];
   size_t at = NoticePrefix(notice, sizeof notice);
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
