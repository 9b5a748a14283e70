// User-level locks under real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include "lib/lock/ul.h"

namespace {

using namespace std::chrono_literals;

// Long enough for a thread that is not blocked to get through; a slow
// machine only makes the "still blocked" checks weaker, never wrong.
constexpr auto settle = 50ms;

// Waits (with a generous limit, so that a fault fails instead of hanging)
// until count reaches target.
bool
WaitFor(std::mutex &m, std::condition_variable &cv, const int &count, int target)
{
   std::unique_lock<std::mutex> guard(m);
   return cv.wait_for(guard, 20s, [&] { return count >= target; });
}

TEST(ExclLock, SerialisesThreads)
{
   MXUserExclLock *lock = MXUser_CreateExclLock("counterLock", 0x1000);
   ASSERT_NE(lock, nullptr);
   long counter = 0;  // deliberately plain: the lock alone protects it
   std::vector<std::thread> threads;
   for (int t = 0; t < 4; t++) {
      threads.emplace_back([&] {
         for (int i = 0; i < 5000; i++) {
            MXUser_AcquireExclLock(lock);
            counter++;
            MXUser_ReleaseExclLock(lock);
         }
      });
   }
   for (std::thread &t : threads) {
      t.join();
   }
   EXPECT_EQ(counter, 4 * 5000);
   MXUser_DestroyExclLock(lock);
}

TEST(ExclLock, ReacquiredLockNeedsEveryRelease)
{
   MXUserExclLock *lock = MXUser_CreateExclLock(nullptr, 0);
   ASSERT_NE(lock, nullptr);
   MXUser_AcquireExclLock(lock);
   MXUser_AcquireExclLock(lock);  // the holder may take it again

   std::atomic<bool> got{false};
   std::thread other([&] {
      MXUser_AcquireExclLock(lock);
      got = true;
      MXUser_ReleaseExclLock(lock);
   });
   MXUser_ReleaseExclLock(lock);
   std::this_thread::sleep_for(settle);
   EXPECT_FALSE(got) << "another thread got the lock after one of two releases";
   MXUser_ReleaseExclLock(lock);
   other.join();
   EXPECT_TRUE(got);
   MXUser_DestroyExclLock(lock);
}

// Many threads race to create the same singleton: all get one lock, and
// the losers' locks are destroyed (the leak checker sees any that is not).
template <typename Lock, typename Create>
Lock *
RaceForSingleton(Create create)
{
   std::atomic<Lock *> slot{nullptr};
   constexpr int count = 8;
   Lock *seen[count] = {};
   std::latch start(count);
   std::vector<std::thread> threads;
   for (int t = 0; t < count; t++) {
      threads.emplace_back([&, t] {
         start.arrive_and_wait();
         seen[t] = create(&slot);
      });
   }
   for (std::thread &t : threads) {
      t.join();
   }
   Lock *published = slot.load();
   EXPECT_NE(published, nullptr);
   for (Lock *l : seen) {
      EXPECT_EQ(l, published);
   }
   EXPECT_EQ(create(&slot), published);
   return published;
}

TEST(Singleton, RaceEndsWithOneLockOfEachKind)
{
   MXUserExclLock *excl = RaceForSingleton<MXUserExclLock>(
      [](std::atomic<MXUserExclLock *> *slot) {
         return MXUser_CreateSingletonExclLock(slot, "singleX", 1);
      });
   MXUserRecLock *rec = RaceForSingleton<MXUserRecLock>(
      [](std::atomic<MXUserRecLock *> *slot) {
         return MXUser_CreateSingletonRecLock(slot, "singleR", 2);
      });
   MXUserRWLock *rw = RaceForSingleton<MXUserRWLock>(
      [](std::atomic<MXUserRWLock *> *slot) {
         return MXUser_CreateSingletonRWLock(slot, "singleRW", 3);
      });
   ASSERT_TRUE(excl != nullptr && rec != nullptr && rw != nullptr);
   // The published locks work.
   MXUser_AcquireExclLock(excl);
   MXUser_ReleaseExclLock(excl);
   MXUser_AcquireRecLock(rec);
   MXUser_ReleaseRecLock(rec);
   MXUser_AcquireForWrite(rw);
   MXUser_ReleaseRWLock(rw);
   MXUser_DestroyExclLock(excl);
   MXUser_DestroyRecLock(rec);
   MXUser_DestroyRWLock(rw);
}

TEST(RecLock, TryAcquireIsRecursiveForTheHolderOnly)
{
   MXUserRecLock *lock = MXUser_CreateRecLock("recLock", 0x2000);
   ASSERT_NE(lock, nullptr);
   MXUser_AcquireRecLock(lock);
   EXPECT_TRUE(MXUser_TryAcquireRecLock(lock));

   bool otherGot = true;
   std::thread([&] { otherGot = MXUser_TryAcquireRecLock(lock); }).join();
   EXPECT_FALSE(otherGot);

   MXUser_ReleaseRecLock(lock);
   std::thread([&] { otherGot = MXUser_TryAcquireRecLock(lock); }).join();
   EXPECT_FALSE(otherGot) << "free after one of two releases";

   MXUser_ReleaseRecLock(lock);
   std::thread([&] {
      otherGot = MXUser_TryAcquireRecLock(lock);
      if (otherGot) {
         MXUser_ReleaseRecLock(lock);
      }
   }).join();
   EXPECT_TRUE(otherGot);
   MXUser_DestroyRecLock(lock);
}

TEST(RecLock, NestedAcquisitionsFromManyThreads)
{
   MXUserRecLock *lock = MXUser_CreateRecLock(nullptr, 0);
   long counter = 0;
   std::vector<std::thread> threads;
   for (int t = 0; t < 4; t++) {
      threads.emplace_back([&] {
         for (int i = 0; i < 2000; i++) {
            MXUser_AcquireRecLock(lock);
            MXUser_AcquireRecLock(lock);
            counter++;
            MXUser_ReleaseRecLock(lock);
            counter++;
            MXUser_ReleaseRecLock(lock);
         }
      });
   }
   for (std::thread &t : threads) {
      t.join();
   }
   EXPECT_EQ(counter, 4 * 2000 * 2);
   MXUser_DestroyRecLock(lock);
}

TEST(RWLock, ReadersShareTheNativeLock)
{
   MXUserRWLock *lock = MXUser_CreateRWLock(nullptr, 0);
   ASSERT_NE(lock, nullptr);
   std::mutex m;
   std::condition_variable cv;
   int inside = 0;
   bool bothInside[2] = {};
   auto reader = [&](int self) {
      MXUser_AcquireForRead(lock);
      {
         std::lock_guard<std::mutex> guard(m);
         inside++;
      }
      cv.notify_all();
      // Both hold the read lock at once, or this wait times out.
      bothInside[self] = WaitFor(m, cv, inside, 2);
      MXUser_ReleaseRWLock(lock);
   };
   std::thread a(reader, 0), b(reader, 1);
   a.join();
   b.join();
   EXPECT_TRUE(bothInside[0] && bothInside[1]);
   MXUser_DestroyRWLock(lock);
}

TEST(RWLock, WritersExcludeReadersAndWriters)
{
   for (bool emulated : {false, true}) {
      MXUser_ForceRWEmulation(emulated);
      MXUserRWLock *lock = MXUser_CreateRWLock("rwCounter", 0);
      MXUser_ForceRWEmulation(false);
      long a = 0, b = 0;  // a writer keeps them equal
      std::atomic<bool> mismatch{false};
      std::vector<std::thread> threads;
      for (int t = 0; t < 4; t++) {
         threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; i++) {
               if (t % 2 == 0) {
                  MXUser_AcquireForWrite(lock);
                  a++;
                  b++;
               } else {
                  MXUser_AcquireForRead(lock);
                  if (a != b) {
                     mismatch = true;
                  }
               }
               MXUser_ReleaseRWLock(lock);
            }
         });
      }
      for (std::thread &t : threads) {
         t.join();
      }
      EXPECT_FALSE(mismatch);
      EXPECT_EQ(a, 2 * 2000);
      MXUser_DestroyRWLock(lock);
   }
}

TEST(RWLock, EmulatedReadersExcludeEachOther)
{
   MXUser_ForceRWEmulation(true);
   MXUserRWLock *lock = MXUser_CreateRWLock(nullptr, 0);
   MXUser_ForceRWEmulation(false);

   MXUser_AcquireForRead(lock);
   std::atomic<bool> got{false};
   std::thread other([&] {
      MXUser_AcquireForRead(lock);
      got = true;
      MXUser_ReleaseRWLock(lock);
   });
   std::this_thread::sleep_for(settle);
   EXPECT_FALSE(got) << "a second reader got in beside the first";
   MXUser_ReleaseRWLock(lock);
   other.join();
   EXPECT_TRUE(got);

   // A thread may read again after it released.
   MXUser_AcquireForRead(lock);
   MXUser_ReleaseRWLock(lock);
   MXUser_DestroyRWLock(lock);
}

}  // namespace
