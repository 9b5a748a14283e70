// POSIX back end of the clocks (clock.h): CLOCK_MONOTONIC, CLOCK_REALTIME
// and the C library's zone, which honours TZ.
#include "lib/misc/clock.h"

#include <ctime>

uint64_t
Clock_MonotonicUsec()
{
   timespec ts;
   clock_gettime(CLOCK_MONOTONIC, &ts);
   return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

int64_t
Clock_WallUsec()
{
   timespec ts;
   clock_gettime(CLOCK_REALTIME, &ts);
   return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

void
Clock_LocalTime(int64_t unixSeconds, ClockLocalTime *local)
{
   time_t t = (time_t)unixSeconds;
   struct tm tm = {};
   long offsetSeconds = 0;
   if (localtime_r(&t, &tm) != nullptr) {
      offsetSeconds = tm.tm_gmtoff;
   } else if (gmtime_r(&t, &tm) == nullptr) {
      tm = {};
   }
   local->year = tm.tm_year + 1900;
   local->month = tm.tm_mon + 1;
   local->day = tm.tm_mday;
   local->hour = tm.tm_hour;
   local->minute = tm.tm_min;
   local->second = tm.tm_sec;
   local->offsetMinutes = (int)(offsetSeconds / 60);
}
