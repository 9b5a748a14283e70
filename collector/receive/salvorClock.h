// The receive path's clock.
#pragma once

#include <cstdint>

/*
 * Microseconds on a clock that only moves forward, so that setting the
 * wall clock neither keeps nor kills dumps. Only differences are used.
 * Tests may replace it.
 */
extern uint64_t (*SalvorClockUsec)();
