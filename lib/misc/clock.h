// The clocks of the library and the collector: the monotonic clock
// (microseconds that only move forward, unaffected by changes of the wall
// clock; only differences mean anything), the wall clock, and the host's
// local time of a moment. The back ends are clockPosix.cpp and
// clockWin32.cpp (which also converts the system's file times, see
// clockWin32.h).
#pragma once

#include <cstdint>

uint64_t Clock_MonotonicUsec();

// Microseconds since 1970-01-01 UTC on the wall clock, which may jump.
int64_t Clock_WallUsec();

// A moment as the host's clocks show it, and the zone's offset then.
struct ClockLocalTime {
   int year;
   int month;  // 1 to 12
   int day;    // 1 to 31
   int hour;
   int minute;
   int second;
   int offsetMinutes;  // local time minus UTC, summer time included
};

/*
 * The local time `unixSeconds` after 1970-01-01 UTC, by the zone's rule
 * for that moment (summer or not), not for now. A moment the system cannot
 * place in its zone is given in UTC, with offset 0.
 */
void Clock_LocalTime(int64_t unixSeconds, ClockLocalTime *local);
