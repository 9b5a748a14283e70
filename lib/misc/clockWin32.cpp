// Win32 back end of the clocks (clock.h, clockWin32.h): the performance
// counter, which never goes back and ignores changes of the wall clock;
// the system time; and the system's time zone.
#include "lib/misc/clock.h"
#include "lib/misc/clockWin32.h"

#include <windows.h>

uint64_t
Clock_MonotonicUsec()
{
   static const uint64_t frequency = [] {
      LARGE_INTEGER f;
      QueryPerformanceFrequency(&f);  // never fails since Windows XP
      return (uint64_t)f.QuadPart;
   }();
   LARGE_INTEGER now;
   QueryPerformanceCounter(&now);
   uint64_t ticks = (uint64_t)now.QuadPart;
   // Whole seconds first: ticks * 1000000 would overflow after some days
   // at the usual 10 MHz.
   return ticks / frequency * 1000000u + ticks % frequency * 1000000u / frequency;
}

int64_t
Clock_UnixTicksOfFileTime(const FILETIME &fileTime)
{
   uint64_t ticks = ((uint64_t)fileTime.dwHighDateTime << 32) | fileTime.dwLowDateTime;
   return (int64_t)ticks - CLOCK_FILETIME_UNIX_EPOCH;
}

FILETIME
Clock_FileTimeOfUnixTicks(int64_t unixTicks)
{
   uint64_t ticks = (uint64_t)(unixTicks + CLOCK_FILETIME_UNIX_EPOCH);
   return FILETIME{(DWORD)ticks, (DWORD)(ticks >> 32)};
}

int64_t
Clock_WallUsec()
{
   FILETIME now;
   GetSystemTimeAsFileTime(&now);
   return Clock_UnixTicksOfFileTime(now) / 10;
}

void
Clock_LocalTime(int64_t unixSeconds, ClockLocalTime *local)
{
   FILETIME utcTime = Clock_FileTimeOfUnixTicks(unixSeconds * 10000000);
   SYSTEMTIME utc{}, st{};
   FILETIME localTime;
   // The zone's rule for that moment (summer time or not), not for now.
   if (!FileTimeToSystemTime(&utcTime, &utc) ||
       !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &st) ||
       !SystemTimeToFileTime(&st, &localTime)) {
      st = utc;
      localTime = utcTime;
   }
   local->year = st.wYear;
   local->month = st.wMonth;
   local->day = st.wDay;
   local->hour = st.wHour;
   local->minute = st.wMinute;
   local->second = st.wSecond;
   int64_t offsetTicks = Clock_UnixTicksOfFileTime(localTime) - Clock_UnixTicksOfFileTime(utcTime);
   local->offsetMinutes = (int)(offsetTicks / 600000000);
}
