// The global operator new of the tools' test program, counting per thread;
// see allocationCounter.h. Every form of new and delete that is not
// over-aligned is replaced, so that none is paired with another's delete.
#include "tests/tools/allocationCounter.h"

#include <cstdlib>
#include <new>

namespace {

thread_local uint64_t allocations = 0;

void *
CountedAllocation(std::size_t size) noexcept
{
   allocations++;
   return std::malloc(size == 0 ? 1 : size);
}

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
   if (void *p = CountedAllocation(size)) {
      return p;
   }
   throw std::bad_alloc();
}

void *
operator new[](std::size_t size)
{
   return operator new(size);
}

void *
operator new(std::size_t size, const std::nothrow_t &) noexcept
{
   return CountedAllocation(size);
}

void *
operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
   return CountedAllocation(size);
}

void
operator delete(void *p) noexcept
{
   std::free(p);
}

void
operator delete[](void *p) noexcept
{
   std::free(p);
}

void
operator delete(void *p, std::size_t) noexcept
{
   std::free(p);
}

void
operator delete[](void *p, std::size_t) noexcept
{
   std::free(p);
}

void
operator delete(void *p, const std::nothrow_t &) noexcept
{
   std::free(p);
}

void
operator delete[](void *p, const std::nothrow_t &) noexcept
{
   std::free(p);
}
