// The platform back ends of misc, through their own interfaces: host
// information, the monotonic clock, thread identity's slot and thread ids,
// and the environment and user of the path expansion. Each test holds on
// every platform.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "lib/misc/clock.h"
#include "lib/misc/hostinfo.h"
#include "lib/misc/utilMiscPlatform.h"
#include "lib/misc/vthreadBasePlatform.h"

namespace {

// An id no process has: far above the ids either platform hands out.
constexpr int UNUSED_PID = 0x7FFFFFF0;

TEST(HostinfoTest, OwnProcessIsAliveWithAStableStartTime)
{
   int pid = Hostinfo_ProcessId();
   EXPECT_GT(pid, 0);
   EXPECT_EQ(Hostinfo_QueryProcessExistence(pid), HOSTINFO_PROCESS_QUERY_ALIVE);
   uint64_t first = 0, second = 0;
   ASSERT_TRUE(Hostinfo_ProcessStartTime(pid, &first));
   ASSERT_TRUE(Hostinfo_ProcessStartTime(pid, &second));
   EXPECT_EQ(first, second);
}

TEST(HostinfoTest, MissingAndMeaninglessProcessIds)
{
   EXPECT_EQ(Hostinfo_QueryProcessExistence(UNUSED_PID), HOSTINFO_PROCESS_QUERY_DEAD);
   EXPECT_EQ(Hostinfo_QueryProcessExistence(0), HOSTINFO_PROCESS_QUERY_UNKNOWN);
   EXPECT_EQ(Hostinfo_QueryProcessExistence(-4), HOSTINFO_PROCESS_QUERY_UNKNOWN);
   uint64_t start = 0;
   EXPECT_FALSE(Hostinfo_ProcessStartTime(UNUSED_PID, &start));
   EXPECT_FALSE(Hostinfo_ProcessStartTime(0, &start));
}

TEST(HostinfoTest, ExecutablePathNamesThisProgram)
{
   char *path = Hostinfo_ExecutablePath();
   ASSERT_NE(path, nullptr);
   std::filesystem::path exe = std::filesystem::u8path(path);
   std::free(path);
   EXPECT_TRUE(exe.is_absolute()) << exe;
   EXPECT_EQ(exe.stem(), "misc_tests");
   EXPECT_TRUE(std::filesystem::exists(exe)) << exe;
}

TEST(HostinfoTest, MachineIdentityIsStable)
{
   uint8_t a[HOSTINFO_MACHINE_ID_SIZE] = {}, b[HOSTINFO_MACHINE_ID_SIZE] = {};
   ASSERT_TRUE(Hostinfo_MachineID(a));
   ASSERT_TRUE(Hostinfo_MachineID(b));
   EXPECT_EQ(std::memcmp(a, b, sizeof a), 0);
   // A host may have no UUID; one it has is in the lower-case 8-4-4-4-12 form.
   char *uuid = Hostinfo_GetHostUUID();
   if (uuid != nullptr) {
      std::string text(uuid);
      std::free(uuid);
      ASSERT_EQ(text.size(), 36u) << text;
      for (size_t i = 0; i < text.size(); i++) {
         bool dash = i == 8 || i == 13 || i == 18 || i == 23;
         EXPECT_TRUE(dash ? text[i] == '-' : std::strchr("0123456789abcdef", text[i]) != nullptr)
            << text;
      }
   }
}

TEST(ClockTest, MonotonicClockFollowsASleep)
{
   uint64_t before = Clock_MonotonicUsec();
   std::this_thread::sleep_for(std::chrono::milliseconds(30));
   uint64_t after = Clock_MonotonicUsec();
   EXPECT_GE(after - before, 25000u);
   EXPECT_LT(after - before, 5000000u);
   EXPECT_GE(Clock_MonotonicUsec(), after);
}

void *destroyedValue = nullptr;

TEST(VThreadPlatTest, SlotIsPerThreadAndItsDestructorRunsAtExit)
{
   uint32_t key = 0;
   ASSERT_TRUE(VThreadPlatKeyCreate(&key, [](void *value) { destroyedValue = value; }));
   int mine = 0, theirs = 0;
   ASSERT_TRUE(VThreadPlatSetValue(key, &mine));
   VThreadPlatID otherId = 0;
   std::thread other([&] {
      EXPECT_EQ(VThreadPlatGetValue(key), nullptr);
      EXPECT_TRUE(VThreadPlatSetValue(key, &theirs));
      EXPECT_EQ(VThreadPlatGetValue(key), &theirs);
      otherId = VThreadPlatThreadID();
      EXPECT_FALSE(VThreadPlatThreadExited(otherId));
   });
   other.join();
   EXPECT_EQ(destroyedValue, &theirs);
   EXPECT_EQ(VThreadPlatGetValue(key), &mine);
   ASSERT_TRUE(VThreadPlatSetValue(key, nullptr));
   VThreadPlatKeyDelete(key);

   EXPECT_NE(otherId, 0);
   EXPECT_NE(otherId, VThreadPlatThreadID());
   EXPECT_TRUE(VThreadPlatThreadExited(otherId));
   EXPECT_FALSE(VThreadPlatThreadExited(VThreadPlatThreadID()));
}

TEST(UtilPlatTest, EnvironmentAndUser)
{
   static char setting[] = "SALVOR_PLAT_TEST=a b/c";
   ASSERT_EQ(putenv(setting), 0);
   char *value = UtilPlatGetEnv("SALVOR_PLAT_TEST");
   ASSERT_NE(value, nullptr);
   EXPECT_STREQ(value, "a b/c");
   std::free(value);
   EXPECT_EQ(UtilPlatGetEnv("SALVOR_PLAT_TEST_UNSET"), nullptr);

   char user[256];
   ASSERT_TRUE(UtilPlatUserName(user, sizeof user));
   EXPECT_GT(std::strlen(user), 0u);
   char tiny[1];
   EXPECT_FALSE(UtilPlatUserName(tiny, sizeof tiny));
}

}  // namespace
