// Time fields of a line header: local date and time, milliseconds and
// the zone offset. The date text changes once a second, so each thread
// keeps the text of the current second.
#include <cstdio>
#include <cstring>

#include "lib/log/logInt.h"
#include "lib/misc/clock.h"

namespace {

struct SecondCache {
   int64_t epochSeconds = -1;
   char dateTime[32];
   char zone[8];
};

thread_local SecondCache cache;

}  // namespace

void
LogFormatZone(int64_t offsetMinutes, char out[8])
{
   if (offsetMinutes == 0) {
      std::memcpy(out, "Z", 2);
      return;
   }
   char sign = offsetMinutes > 0 ? '+' : '-';
   int64_t abs = offsetMinutes > 0 ? offsetMinutes : -offsetMinutes;
   std::snprintf(out, 8, "%c%02d:%02d", sign, (int)(abs / 60 % 100), (int)(abs % 60));
}

void
LogFillTime(LogLineHeader *header)
{
   int64_t wallUsec = Clock_WallUsec();
   int64_t seconds = wallUsec / 1000000;
   int millis = (int)(wallUsec % 1000000 / 1000);
   if (seconds != cache.epochSeconds) {
      ClockLocalTime now;
      Clock_LocalTime(seconds, &now);
      std::snprintf(cache.dateTime, sizeof cache.dateTime, "%04d-%02d-%02dT%02d:%02d:%02d",
                    now.year, now.month, now.day, now.hour, now.minute, now.second);
      LogFormatZone(now.offsetMinutes, cache.zone);
      cache.epochSeconds = seconds;
   }
   std::memcpy(header->dateTime, cache.dateTime, sizeof header->dateTime);
   std::memcpy(header->zone, cache.zone, sizeof header->zone);
   header->millis[0] = '.';
   header->millis[1] = (char)('0' + millis / 100 % 10);
   header->millis[2] = (char)('0' + millis / 10 % 10);
   header->millis[3] = (char)('0' + millis % 10);
   header->millis[4] = '\0';
}
