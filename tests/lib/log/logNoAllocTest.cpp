// A short message, once the log is running, is formatted and written
// without touching the heap, and Log never throws when memory runs out.
// This binary counts the allocator's calls by standing in for malloc and
// its siblings, and can make operator new fail.
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "lib/log/log.h"
#include "lib/misc/vthreadBase.h"
#include "tests/support/testFiles.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {

// The size-prefix dialect is not printf's: the compiler's format check
// would refuse it, so this call passes the format through unchecked.
void
LogDialect(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   LogV(LOG_LEVEL_INFO, format, args);
   va_end(args);
}

}  // namespace

namespace {
thread_local bool counting = false;
std::atomic<long> allocations{0};

void
Count()
{
   if (counting) {
      allocations++;
   }
}
}  // namespace

extern "C" void *
malloc(size_t size)
{
   Count();
   return __libc_malloc(size);
}

extern "C" void *
calloc(size_t count, size_t size)
{
   Count();
   return __libc_calloc(count, size);
}

extern "C" void *
realloc(void *block, size_t size)
{
   Count();
   return __libc_realloc(block, size);
}

extern "C" void
free(void *block)
{
   __libc_free(block);
}

namespace {
thread_local bool newFails = false;
}  // namespace

void *
operator new(size_t size)
{
   void *p = newFails ? nullptr : malloc(size);
   if (p == nullptr) {
      throw std::bad_alloc();
   }
   return p;
}

void
operator delete(void *block) noexcept
{
   free(block);
}

void
operator delete(void *block, size_t) noexcept
{
   free(block);
}

namespace {

TEST(LogNoAlloc, ShortMessagesDoNotAllocate)
{
   testutil::TempDir dir;
   std::string path = dir / "noalloc.log";
   LogParams params;
   Log_ParamsDefaults(&params);
   params.fileName = path.c_str();
   ASSERT_TRUE(Log_Init(&params));
   VThread_SetName("counted");
   Log("warm-up %d\n", 0);  // banner, first line of this thread

   counting = true;
   for (int i = 0; i < 100; i++) {
      Log("short message %d with a %s\n", i, "string");
      Warning("two lines\nof a warning %u\n", 7u);
      LogDialect("FILE: %s: %I64u bytes, %Iu items, lock 0x%p\n", "Op", (uint64_t)i, (size_t)i,
                 (void *)&path);
   }
   counting = false;
   EXPECT_EQ(allocations.load(), 0);
   Log_Exit();
   EXPECT_NE(testutil::ReadFile(path).find("I120: short message 99 with a string\n"),
             std::string::npos);
}

TEST(LogNoAlloc, LinesOfASecondThreadDoNotAllocateAfterItsFirst)
{
   testutil::TempDir dir;
   std::string path = dir / "noalloc.log";
   ASSERT_TRUE(Log_InitWithFile(path.c_str(), "test"));
   long seen = -1;
   std::thread([&] {
      Log("first line of this thread\n");  // the thread's identity is made here
      counting = true;
      for (int i = 0; i < 100; i++) {
         Log("short message %d\n", i);
      }
      counting = false;
      seen = allocations.load();
   }).join();
   EXPECT_EQ(seen, 0);
   Log_Exit();
}

TEST(LogWithoutMemory, RotationThatCannotAllocateDoesNotThrowOutOfLog)
{
   testutil::TempDir dir;
   std::string path = dir / "nomem.log";
   LogParams params;
   Log_ParamsDefaults(&params);
   params.fileName = path.c_str();
   params.rotateSize = 1000;
   params.keepOld = 2;
   ASSERT_TRUE(Log_Init(&params));
   Log("%s\n", std::string(1100, 'a').c_str());

   newFails = true;
   bool threw = false;
   try {
      Log("rotates without memory for the copies' names\n");
   } catch (...) {
      threw = true;
   }
   newFails = false;
   EXPECT_FALSE(threw);
   Log("after\n");
   Log_Exit();
   std::string text = testutil::ReadFile(path);
   EXPECT_NE(text.find("FILE: File_Rotate: out of memory rotating " + path), std::string::npos)
      << text;
   size_t rotates = text.find("I120: rotates without memory for the copies' names\n");
   ASSERT_NE(rotates, std::string::npos);
   EXPECT_NE(text.find("I120: after\n", rotates), std::string::npos);
}

}  // namespace
