// The system's file times against times since 1970.
#include <gtest/gtest.h>

#include <cstdint>
#include <windows.h>

#include "lib/misc/clockWin32.h"

namespace {

TEST(FileTimeTest, KnownDateIsItsUnixTime)
{
   SYSTEMTIME date = {};
   date.wYear = 2026;
   date.wMonth = 1;
   date.wDay = 15;
   date.wHour = 12;
   FILETIME fileTime;
   ASSERT_TRUE(SystemTimeToFileTime(&date, &fileTime));
   EXPECT_EQ(Clock_UnixTicksOfFileTime(fileTime), 1768478400LL * 10000000);
}

class FileTimeRoundTrip : public testing::TestWithParam<int64_t> {};

TEST_P(FileTimeRoundTrip, BackToTheSameTicks)
{
   int64_t ticks = GetParam();
   FILETIME fileTime = Clock_FileTimeOfUnixTicks(ticks);
   EXPECT_EQ(Clock_UnixTicksOfFileTime(fileTime), ticks);
}

INSTANTIATE_TEST_SUITE_P(Ticks, FileTimeRoundTrip,
                         testing::Values(0, 1, -1, -CLOCK_FILETIME_UNIX_EPOCH,
                                         1768478400LL * 10000000 + 1234567,
                                         4102444799LL * 10000000,  // past 2038
                                         // a low word with its top bit set
                                         0xFFFFFFFFLL - CLOCK_FILETIME_UNIX_EPOCH));

TEST(FileTimeTest, EpochIsTheFirstOf1970)
{
   FILETIME fileTime = Clock_FileTimeOfUnixTicks(0);
   SYSTEMTIME date;
   ASSERT_TRUE(FileTimeToSystemTime(&fileTime, &date));
   EXPECT_EQ(date.wYear, 1970);
   EXPECT_EQ(date.wMonth, 1);
   EXPECT_EQ(date.wDay, 1);
   EXPECT_EQ(date.wHour, 0);
}

}  // namespace
