// The wall clock and the local time, on every platform: what the log's
// lines and the collector's journal print.
#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>

#include "lib/misc/clock.h"

namespace {

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t
DaysSinceEpoch(int64_t year, int month, int day)
{
   year -= month <= 2;
   int64_t era = (year >= 0 ? year : year - 399) / 400;
   int64_t yearOfEra = year - era * 400;
   int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
   int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
   return era * 146097 + dayOfEra - 719468;
}

TEST(ClockTest, WallClockIsTheSystemTime)
{
   int64_t before = (int64_t)std::time(nullptr);
   int64_t wall = Clock_WallUsec() / 1000000;
   int64_t after = (int64_t)std::time(nullptr);
   EXPECT_LE(before, wall);
   EXPECT_LE(wall, after);
}

class LocalTimeTest : public testing::TestWithParam<int64_t> {};

// Whatever the host's zone: the local fields read as UTC, less the offset,
// are the moment asked for.
TEST_P(LocalTimeTest, FieldsLessTheOffsetAreTheMoment)
{
   int64_t moment = GetParam();
   ClockLocalTime local;
   Clock_LocalTime(moment, &local);
   int64_t asUtc = DaysSinceEpoch(local.year, local.month, local.day) * 86400 +
                   local.hour * 3600 + local.minute * 60 + local.second;
   EXPECT_EQ(asUtc - local.offsetMinutes * 60, moment);
   EXPECT_LE(local.offsetMinutes, 14 * 60);
   EXPECT_GE(local.offsetMinutes, -12 * 60);
}

INSTANTIATE_TEST_SUITE_P(Moments, LocalTimeTest,
                         testing::Values(0, 1768478400 /* 2026-01-15 12:00 UTC */,
                                         1784116800 /* 2026-07-15 12:00 UTC */,
                                         4102444799 /* 2099-12-31 23:59:59 UTC */));

}  // namespace
