// Line headers, prefixes and the route of a line to the outputs.
#include <cstring>

#include "lib/log/logInt.h"
#include "lib/misc/vthreadBase.h"
#include "lib/string/str.h"

namespace {

// Appends src to buf (used bytes *at, size bytes) while at most limit
// bytes of buf are used.
void
LogLineAppend(char *buf, size_t *at, size_t limit, const char *src, size_t length)
{
   if (*at >= limit) {
      return;
   }
   size_t room = limit - *at;
   size_t n = length < room ? length : room;
   std::memcpy(buf + *at, src, n);
   *at += n;
}

size_t
LogLineDigits3(int value, char *out)
{
   out[0] = (char)('0' + value / 100 % 10);
   out[1] = (char)('0' + value / 10 % 10);
   out[2] = (char)('0' + value % 10);
   return 3;
}

}  // namespace

void
LogFillHeader(LogLineHeader *header, int row, bool continuation)
{
   std::memset(header, 0, sizeof *header);
   LogFillTime(header);
   const char *name = VThread_CurName();
   size_t n = strnlen(name, sizeof header->threadName - 1);
   std::memcpy(header->threadName, name, n);
   // A newline in a name would split the line in the pending ring.
   for (char *nl; (nl = static_cast<char *>(std::memchr(header->threadName, '\n', n))) != nullptr;) {
      *nl = ' ';
   }
   header->continuation = continuation ? 'T' : 'F';
   header->rowIndex = (char)('A' + row);
}

size_t
LogBuildPrefix(const LogLineHeader &header, char *buf, size_t size)
{
   size_t at = 0;
   if (size < 8) {
      return 0;
   }
   if (size >= 128) {
      // Every field fits: no clipping needed.
      if (logState.useTimeStamps) {
         size_t n = strnlen(header.dateTime, sizeof header.dateTime);
         std::memcpy(buf, header.dateTime, n);
         at = n;
         if (logState.useMilliseconds) {
            n = strnlen(header.millis, sizeof header.millis);
            std::memcpy(buf + at, header.millis, n);
            at += n;
         }
         n = strnlen(header.zone, sizeof header.zone);
         std::memcpy(buf + at, header.zone, n);
         at += n;
         buf[at++] = '|';
         buf[at++] = ' ';
      }
      if (logState.useThreadName) {
         size_t n = strnlen(header.threadName, sizeof header.threadName);
         if (n > 0) {
            std::memcpy(buf + at, header.threadName, n);
            at += n;
            buf[at++] = '|';
            buf[at++] = ' ';
         }
      }
   } else if (logState.useTimeStamps) {
      size_t limit = size - 3;
      LogLineAppend(buf, &at, limit, header.dateTime,
                    strnlen(header.dateTime, sizeof header.dateTime));
      if (logState.useMilliseconds) {
         LogLineAppend(buf, &at, limit, header.millis,
                       strnlen(header.millis, sizeof header.millis));
      }
      LogLineAppend(buf, &at, limit, header.zone, strnlen(header.zone, sizeof header.zone));
      LogLineAppend(buf, &at, size, "| ", 2);
   }
   if (size < 128 && logState.useThreadName) {
      size_t n = strnlen(header.threadName, sizeof header.threadName);
      size_t left = size - at;
      if (left < n + 3) {
         n = left > 3 ? left - 3 : 0;
      }
      if (n > 0) {
         LogLineAppend(buf, &at, size, header.threadName, n);
         LogLineAppend(buf, &at, size, "| ", 2);
      }
   }
   if (logState.useLevelDesignator) {
      int row = header.rowIndex - 'A';
      if (row < 0 || row >= LOG_LEVEL_ROWS) {
         row = LogLevelRowIndex(LOG_LEVEL_INFO);
      }
      char designator[8];
      designator[0] = LogLevelInfo[row].designator;
      LogLineDigits3(LogLevelInfo[row].level, designator + 1);
      designator[4] = header.continuation == 'T' ? '+' : ':';
      designator[5] = ' ';
      LogLineAppend(buf, &at, size - 1, designator, 6);
   }
   return at;
}

void
LogWriteLine(const LogLineHeader &header, const char *segment, size_t length,
             bool writePrefix)
{
   char local[LOG_LOCAL_BUFFER];
   char *borrowed = LogBorrowBuffer(&logState.lineBuffer);
   char *buf = borrowed != nullptr ? borrowed : local;
   size_t size = borrowed != nullptr ? LOG_BUFFER_SIZE : LOG_LOCAL_BUFFER;

   size_t at = writePrefix ? LogBuildPrefix(header, buf, size) : 0;
   size_t room = size - 1 - at;
   if (length <= room) {
      std::memcpy(buf + at, segment, length);
      at += length;
   } else {
      // Clipped: keep whole characters and the end of the line, so that
      // the next line does not join this one.
      bool endsLine = segment[length - 1] == '\n';
      size_t n = Str_CompleteUtf8Length(segment, endsLine ? room - 1 : room);
      std::memcpy(buf + at, segment, n);
      at += n;
      if (endsLine) {
         buf[at++] = '\n';
      }
   }
   buf[at] = '\0';

   if (logState.fd >= 0) {
      LogWriteFile(&logState, buf, at);
   }
   if (logState.eventSource != nullptr) {
      int row = header.rowIndex - 'A';
      LogWriteEventLog(&logState, buf,
                       row >= 0 && row < LOG_LEVEL_ROWS ? LogLevelInfo[row].level
                                                        : LOG_LEVEL_INFO);
   }
   LogReturnBuffer(&logState.lineBuffer, borrowed);
}
