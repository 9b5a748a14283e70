// Win32 back end of the monotonic clock (clock.h): the performance
// counter, which never goes back and ignores changes of the wall clock.
#include "lib/misc/clock.h"

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
