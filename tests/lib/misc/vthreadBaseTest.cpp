// Thread identity under real threads. Numbers are process-wide, so checks
// of exact numbers run in a fresh process (a death-test child).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <mutex>
#include <string>
#include <thread>

#include "lib/log/log.h"
#include "lib/misc/vthreadBase.h"
#include "tests/lib/misc/miscTestPlatform.h"
#include "tests/support/testFiles.h"

namespace {

// Children start afresh instead of forking a process that has threads.
class VThreadDeathTest : public testing::Test {
protected:
   void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// In a child: report a failed check and leave with status 1.
void
Check(bool ok, const std::string &what)
{
   if (!ok) {
      std::fprintf(stderr, "check failed: %s\n", what.c_str());
      std::fflush(stderr);
      std::_Exit(1);
   }
}

uint32_t
IdOfNewThread()
{
   uint32_t id = 0;
   std::thread([&] { id = VThread_CurID(); }).join();
   return id;
}

TEST_F(VThreadDeathTest, FirstThreadIsThreeAndKeepsItsName)
{
   EXPECT_EXIT(
      {
         VThread_SetName("salvor");
         Check(VThread_CurID() == 3, "first number " + std::to_string(VThread_CurID()));
         Check(std::string(VThread_CurName()) == "salvor", VThread_CurName());
         std::_Exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(VThreadDeathTest, SecondThreadIsFourAndTheNoteComesOnce)
{
   EXPECT_EXIT(
      {
         std::string log;
         {
            testutil::TempDir dir;
            Check(Log_InitWithFile((dir / "test.log").c_str(), "test"), "log start");
            Check(VThread_CurID() == 3, "main thread");
            Check(IdOfNewThread() == 4, "second thread");
            // More threads, some at once: no further note.
            std::latch together(3);
            std::thread a([&] { VThread_CurName(); together.arrive_and_wait(); });
            std::thread b([&] { VThread_CurName(); together.arrive_and_wait(); });
            together.arrive_and_wait();
            a.join();
            b.join();
            Log_Exit();
            log = testutil::ReadFile(dir / "test.log");
         }
         const std::string note = "VThreadBase detected multiple threads.\n";
         size_t first = log.find(note);
         Check(first != std::string::npos, "no note in: " + log);
         Check(log.find(note, first + 1) == std::string::npos, "note twice in: " + log);
         std::_Exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(VThreadDeathTest, NumbersOfExitedThreadsAreReusedLowestFirst)
{
   EXPECT_EXIT(
      {
         Check(VThread_CurID() == 3, "main thread");
         Check(IdOfNewThread() == 4, "first thread");
         Check(IdOfNewThread() == 4, "thread after 4 exited");

         // Two at once hold 4 and 5; after both exited the next two
         // threads, alive together, get 4 and then 5.
         std::atomic<uint32_t> ids[2];
         ids[0] = 0;
         ids[1] = 0;
         for (int round = 0; round < 2; round++) {
            std::latch together(2);
            std::thread first([&] {
               ids[0] = VThread_CurID();
               together.arrive_and_wait();
            });
            // The second asks only once the first has its number.
            std::thread second([&] {
               while (ids[0] == 0) {
                  std::this_thread::yield();
               }
               ids[1] = VThread_CurID();
               together.arrive_and_wait();
            });
            first.join();
            second.join();
            Check(ids[0] == 4 && ids[1] == 5,
                  "round " + std::to_string(round) + ": " + std::to_string(ids[0].load()) +
                     " " + std::to_string(ids[1].load()));
            ids[0] = 0;
            ids[1] = 0;
         }
         std::_Exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST(VThread, NewThreadsGetDefaultNames)
{
   std::string name;
   uint32_t id = 0;
   std::thread([&] {
      name = VThread_CurName();
      id = VThread_CurID();
   }).join();
   EXPECT_GE(id, 3u);
   EXPECT_EQ(name, "vthread-" + std::to_string(id));
}

TEST(VThread, LongNamesAreCut)
{
   std::string name;
   std::thread([&] {
      VThread_SetName("0123456789012345678901234567890123456789");  // 40
      name = VThread_CurName();
   }).join();
   EXPECT_EQ(name, "0123456789012345678901234567890");
   EXPECT_EQ(name.size(), (size_t)VTHREAD_NAME_MAX);
}

// Held open by the first thread being given an identity.
std::mutex holdLock;
std::condition_variable holdCv;
bool assignmentOpen = false;
bool releaseAssignment = false;

void
HoldAssignment()
{
   std::unique_lock<std::mutex> guard(holdLock);
   assignmentOpen = true;
   holdCv.notify_all();
   holdCv.wait(guard, [] { return releaseAssignment; });
}

TEST(VThread, ThreadsAskingDuringAnAssignmentAreNamedByHost)
{
   assignmentOpen = false;
   releaseAssignment = false;
   VThread_SetAssignHookForTest(HoldAssignment);
   std::thread assigned([] { VThread_CurName(); });
   {
      std::unique_lock<std::mutex> guard(holdLock);
      ASSERT_TRUE(holdCv.wait_for(guard, std::chrono::seconds(20),
                                  [] { return assignmentOpen; }));
   }
   std::string during, after, expected;
   std::thread asking([&] {
      expected = "host-" + std::to_string(misctest::ThreadId());
      during = VThread_CurName();
      {
         std::lock_guard<std::mutex> guard(holdLock);
         releaseAssignment = true;
      }
      holdCv.notify_all();
      assigned.join();
      after = VThread_CurName();  // now it gets an identity of its own
   });
   asking.join();
   EXPECT_EQ(during, expected);
   EXPECT_EQ(after.rfind("vthread-", 0), 0u) << after;
}

}  // namespace
