// The receive path's clock; see salvorClock.h.
#include "collector/receive/salvorClock.h"

#include "lib/misc/clock.h"

uint64_t (*SalvorClockUsec)() = Clock_MonotonicUsec;
