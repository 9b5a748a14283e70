// CLOCK_MONOTONIC back end of the monotonic clock; see clock.h.
#include "lib/misc/clock.h"

#include <ctime>

uint64_t
Clock_MonotonicUsec()
{
   timespec ts;
   clock_gettime(CLOCK_MONOTONIC, &ts);
   return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}
