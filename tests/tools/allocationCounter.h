// Counts the allocations made by operator new on the calling thread, for
// tests of paths that must not allocate. The tools' test program replaces
// the global operator new to count them (allocationCounter.cpp).
#pragma once

#include <cstdint>

namespace toolstest {

// Allocations by operator new on this thread since it started.
uint64_t AllocationsOnThisThread();

}  // namespace toolstest
