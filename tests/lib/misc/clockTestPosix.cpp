// The local time in zones the test sets with TZ: summer and winter time,
// zones west of UTC and zones a half hour off.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "lib/misc/clock.h"

namespace {

// Sets TZ for the test and puts back what was there.
class ZoneScope {
public:
   explicit ZoneScope(const char *zone)
   {
      const char *old = std::getenv("TZ");
      hadZone_ = old != nullptr;
      oldZone_ = hadZone_ ? old : "";
      setenv("TZ", zone, 1);
      tzset();
   }
   ~ZoneScope()
   {
      if (hadZone_) {
         setenv("TZ", oldZone_.c_str(), 1);
      } else {
         unsetenv("TZ");
      }
      tzset();
   }

private:
   bool hadZone_;
   std::string oldZone_;
};

struct ZoneCase {
   const char *name;  // of the test
   const char *zone;
   int64_t moment;
   int hour, minute, offsetMinutes;
};

class ZoneTest : public testing::TestWithParam<ZoneCase> {};

TEST_P(ZoneTest, LocalTimeAndOffset)
{
   const ZoneCase &c = GetParam();
   ZoneScope scope(c.zone);
   ClockLocalTime local;
   Clock_LocalTime(c.moment, &local);
   EXPECT_EQ(local.hour, c.hour);
   EXPECT_EQ(local.minute, c.minute);
   EXPECT_EQ(local.offsetMinutes, c.offsetMinutes);
}

constexpr const char *CENTRAL_EUROPE = "CET-1CEST,M3.5.0,M10.5.0/3";

INSTANTIATE_TEST_SUITE_P(
   Zones, ZoneTest,
   testing::Values(ZoneCase{"Utc", "UTC0", 1768478400, 12, 0, 0},
                   // 2026-01-15 12:00 UTC
                   ZoneCase{"WinterTime", CENTRAL_EUROPE, 1768478400, 13, 0, 60},
                   // 2026-07-15 12:00 UTC
                   ZoneCase{"SummerTime", CENTRAL_EUROPE, 1784116800, 14, 0, 120},
                   // either side of the change on 2026-03-29 01:00 UTC
                   ZoneCase{"LastSecondOfWinter", CENTRAL_EUROPE, 1774745999, 1, 59, 60},
                   ZoneCase{"FirstSecondOfSummer", CENTRAL_EUROPE, 1774746000, 3, 0, 120},
                   ZoneCase{"WestOfUtc", "EST5EDT,M3.2.0,M11.1.0", 1768478400, 7, 0, -300},
                   ZoneCase{"HalfHourOff", "IST-5:30", 1768478400, 17, 30, 330}),
   [](const testing::TestParamInfo<ZoneCase> &info) { return std::string(info.param.name); });

TEST(ZoneTest, DateFollowsTheZone)
{
   ZoneScope scope("EST5");
   ClockLocalTime local;
   Clock_LocalTime(0, &local);  // 1970-01-01 00:00 UTC
   EXPECT_EQ(local.year, 1969);
   EXPECT_EQ(local.month, 12);
   EXPECT_EQ(local.day, 31);
   EXPECT_EQ(local.hour, 19);
}

}  // namespace
