// Misuse of user-level locks: each prints the lock's state and stops the
// process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "lib/lock/ul.h"
#include "lib/log/log.h"
#include "tests/support/testLog.h"

#ifndef LOCK_MISUSE_FIRST_ONLY
#define LOCK_MISUSE_FIRST_ONLY 0
#endif

namespace {

// Whether a test stops after its first death (see CMakeLists.txt).
constexpr bool FIRST_ONLY = LOCK_MISUSE_FIRST_ONLY != 0;

/*
 * What the dying child printed, searched for with an expression in which
 * ".*" spans lines, as in POSIX ones: GoogleTest's own expressions are
 * POSIX ones on Linux but have neither classes nor counts on Windows. The
 * pieces between the ".*" are found one after the other, each a standard
 * library expression that matches within a line or two: one expression
 * for the whole dump would recurse once per byte of it.
 */
class DumpMatcher : public testing::MatcherInterface<const std::string &> {
public:
   explicit DumpMatcher(const std::string &pattern) : pattern_(pattern)
   {
      size_t start = 0;
      for (size_t at; (at = pattern.find(".*", start)) != std::string::npos; start = at + 2) {
         pieces_.emplace_back(pattern.substr(start, at - start));
      }
      pieces_.emplace_back(pattern.substr(start));
   }
   bool MatchAndExplain(const std::string &text, testing::MatchResultListener *) const override
   {
      auto from = text.begin();
      for (const std::regex &piece : pieces_) {
         std::smatch m;
         if (!std::regex_search(from, text.end(), m, piece)) {
            return false;
         }
         from = m[0].second;
      }
      return true;
   }
   void DescribeTo(std::ostream *os) const override { *os << "contains " << pattern_; }

private:
   std::string pattern_;
   std::vector<std::regex> pieces_;
};

testing::Matcher<const std::string &>
Dump(const std::string &pattern)
{
   return testing::MakeMatcher(new DumpMatcher(pattern));
}

// Children start afresh instead of forking a process that has threads.
class LockMisuseDeathTest : public testing::Test {
protected:
   void SetUp() override
   {
      GTEST_FLAG_SET(death_test_style, "threadsafe");
      testutil::EchoLogToStderr();  // the dump lines are log lines
   }
   void TearDown() override { Log_Exit(); }
};

TEST_F(LockMisuseDeathTest, DestroyingAHeldExclusiveLock)
{
   EXPECT_DEATH(
      {
         MXUserExclLock *lock = MXUser_CreateExclLock("fileSimpleRandomLock", 0xff000000);
         MXUser_AcquireExclLock(lock);
         MXUser_DestroyExclLock(lock);
      },
      Dump("MXUserDumpExclLock: Exclusive lock @ [0-9A-F]{16}\n"
           ".*\tsignature 0x4[0-9A-F]{7}\n"
           ".*\tname fileSimpleRandomLock\n"
           ".*\trank 0xFF000000\n"
           ".*\tserial number [1-9][0-9]*\n"
           ".*\tcount 1\n"
           ".*\taddress of owner data [0-9A-F]{16}\n"
           ".*MXUser_DestroyExclLock: Destroy of an acquired exclusive lock\n"));
}

TEST_F(LockMisuseDeathTest, DestroyingAnExclusiveLockHeldByAnotherThread)
{
   EXPECT_DEATH(
      {
         MXUserExclLock *lock = MXUser_CreateExclLock(nullptr, 7);
         std::thread([&] { MXUser_AcquireExclLock(lock); }).join();
         MXUser_DestroyExclLock(lock);
      },
      Dump("\tname X-[0-9A-F]{16}\n.*\trank 0x7\n.*Destroy of an acquired exclusive lock"));
}

TEST_F(LockMisuseDeathTest, ReleasingAnExclusiveLockNotHeld)
{
   EXPECT_DEATH(
      {
         MXUserExclLock *lock = MXUser_CreateExclLock("x", 0);
         MXUser_ReleaseExclLock(lock);
      },
      Dump("Exclusive lock @.*\tcount 0\n.*"
           "MXUser_ReleaseExclLock: Non-owner release of an exclusive lock\n"));
   if (FIRST_ONLY) {
      return;
   }
   EXPECT_DEATH(
      {
         MXUserExclLock *lock = MXUser_CreateExclLock("x", 0);
         MXUser_AcquireExclLock(lock);
         std::thread([&] { MXUser_ReleaseExclLock(lock); }).join();
      },
      Dump("Non-owner release of an exclusive lock"));
}

TEST_F(LockMisuseDeathTest, DestroyingAHeldRecursiveLock)
{
   EXPECT_DEATH(
      {
         MXUserRecLock *lock = MXUser_CreateRecLock(nullptr, 0xf0007020);
         MXUser_AcquireRecLock(lock);
         MXUser_AcquireRecLock(lock);
         MXUser_DestroyRecLock(lock);
      },
      Dump("MXUserDumpRecLock: Recursive lock @ [0-9A-F]{16}\n"
           ".*\tsignature 0x2[0-9A-F]{7}\n"
           ".*\tname R-[0-9A-F]{16}\n"
           ".*\trank 0xF0007020\n"
           ".*\tserial number [0-9]+\n"
           ".*\treference count 0\n"
           ".*\tcount 2\n"
           ".*\taddress of owner data [0-9A-F]{16}\n"
           ".*MXUserCondDestroyRecLock: Destroy of an acquired recursive lock\n"));
}

TEST_F(LockMisuseDeathTest, ReleasingARecursiveLockNotHeld)
{
   EXPECT_DEATH(
      {
         MXUserRecLock *lock = MXUser_CreateRecLock("r", 0);
         MXUser_ReleaseRecLock(lock);
      },
      Dump("Recursive lock @.*MXUser_ReleaseRecLock: Non-owner release of a recursive lock\n"));
}

TEST_F(LockMisuseDeathTest, AcquiringAReadWriteLockTwice)
{
   EXPECT_DEATH(
      {
         MXUserRWLock *lock = MXUser_CreateRWLock(nullptr, 0x30);
         MXUser_AcquireForRead(lock);
         MXUser_AcquireForRead(lock);
      },
      Dump("MXUserDumpRWLock: Read-write lock @ 0x[0-9A-F]{16}\n"
           ".*\tsignature 0x1[0-9A-F]{7}\n"
           ".*\tname RW-[0-9A-F]{16}\n"
           ".*\trank 0x30\n"
           ".*\tserial number [0-9]+\n"
           ".*\taddress of native lock 0x[0-9A-F]{16}\n"
           ".*\tholderCount 1\n"
           ".*MXUserAcquisition: AcquireForRead after AcquireForRead\n"));
   if (FIRST_ONLY) {
      return;
   }
   EXPECT_DEATH(
      {
         MXUserRWLock *lock = MXUser_CreateRWLock("rw", 0);
         MXUser_AcquireForRead(lock);
         MXUser_AcquireForWrite(lock);
      },
      Dump("MXUserAcquisition: AcquireForWrite after AcquireForRead\n"));
   EXPECT_DEATH(
      {
         MXUserRWLock *lock = MXUser_CreateRWLock("rw", 0);
         MXUser_AcquireForWrite(lock);
         MXUser_AcquireForRead(lock);
      },
      Dump("MXUserAcquisition: AcquireForRead after AcquireForWrite\n"));
}

TEST_F(LockMisuseDeathTest, EmulatedReadWriteLockDumpsItsCount)
{
   EXPECT_DEATH(
      {
         MXUser_ForceRWEmulation(true);
         MXUserRWLock *lock = MXUser_CreateRWLock(nullptr, 0);
         MXUser_AcquireForWrite(lock);
         MXUser_AcquireForWrite(lock);
      },
      Dump("\tname RWemul-[0-9A-F]{16}\n"
           ".*\tcount 1\n"
           ".*\tholderCount 1\n"
           ".*MXUserAcquisition: AcquireForWrite after AcquireForWrite\n"));
}

TEST_F(LockMisuseDeathTest, ReleasingAReadWriteLockNotHeld)
{
   EXPECT_DEATH(
      {
         MXUserRWLock *lock = MXUser_CreateRWLock("rw", 0);
         MXUser_ReleaseRWLock(lock);
      },
      Dump("\tholderCount 0\n"
           ".*MXUser_ReleaseRWLock: Non-owner release of an unacquired read-write lock\n"));
   if (FIRST_ONLY) {
      return;
   }
   // Held by another thread: the caller still is not a holder.
   EXPECT_DEATH(
      {
         MXUserRWLock *lock = MXUser_CreateRWLock("rw", 0);
         std::atomic<bool> holding{false};
         std::thread([&] {
            MXUser_AcquireForRead(lock);
            holding = true;
            for (;;) {
               std::this_thread::sleep_for(std::chrono::seconds(1));
            }
         }).detach();
         while (!holding) {
            std::this_thread::yield();
         }
         MXUser_ReleaseRWLock(lock);
      },
      Dump("MXUser_ReleaseRWLock: Non-owner release of an acquired read-write lock\n"));
}

TEST_F(LockMisuseDeathTest, DestroyingAHeldReadWriteLock)
{
   EXPECT_DEATH(
      {
         MXUserRWLock *lock = MXUser_CreateRWLock("rwHeld", 0);
         MXUser_AcquireForWrite(lock);
         MXUser_DestroyRWLock(lock);
      },
      Dump("\tname rwHeld\n.*\tholderCount 1\n"
           ".*MXUser_DestroyRWLock: Destroy on an acquired read-write lock\n"));
}

}  // namespace
