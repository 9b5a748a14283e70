// The monotonic clock of the library and the collector: microseconds that
// only move forward, unaffected by changes of the wall clock. Only
// differences mean anything. The POSIX back end is clockPosix.cpp.
#pragma once

#include <cstdint>

uint64_t Clock_MonotonicUsec();
