// The global operator new of the tools' test program, counting per thread;
// see allocationCounter.h. The array and no-throw forms reach this one.
#include "tests/tools/allocationCounter.h"

#include <cstdlib>
#include <new>

namespace {

thread_local uint64_t allocations = 0;

}  // namespace

namespace toolstest {

uint64_t
AllocationsOnThisThread()
{
   return allocations;
}

}  // namespace toolstest

void *
operator new(std::size_t size)
{
   allocations++;
   if (void *p = std::malloc(size == 0 ? 1 : size)) {
      return p;
   }
   throw std::bad_alloc();
}

void
operator delete(void *p) noexcept
{
   std::free(p);
}

void
operator delete(void *p, std::size_t) noexcept
{
   std::free(p);
}
