// The real collector configured by preference files: the log and panic
// keys in the common "config.ini" and the start without any file.
#include <filesystem>
#include <gtest/gtest.h>

#include <string>

#include "tests/collector/logConfigTest.h"

namespace logconfig {
namespace {

TEST_F(LogConfig, RotateSizeAndKeepOldFromTheCommonConfig)
{
   auto salvor = Start("log.rotateSize = 20000\nlog.keepOld = 2\n", 1);
   Chatter(*salvor, 1500);  // about 150 kB of lines
   std::string log = salvor->Dir() + "/log/";
   EXPECT_TRUE(Exists(log + "salvor-0.log"));
   EXPECT_TRUE(Exists(log + "salvor-1.log"));
   EXPECT_FALSE(Exists(log + "salvor-2.log"));
   EXPECT_LE(std::filesystem::file_size(log + "salvor.log"), 20000u + 4096u);
}

TEST_F(LogConfig, DestinationNoneAndLoggingFalseWriteNothing)
{
   for (const char *config : {"log.destination = none\n", "logging = false\n"}) {
      auto salvor = Start(config);
      Chatter(*salvor, 20);
      EXPECT_EQ(salvor->Log(), "") << config;
   }
}

TEST_F(LogConfig, CombinedDestinationsCountOnlyUnderThePrefixedKey)
{
   auto plain = Start("log.destination = syslog-and-disk\n");
   Chatter(*plain, 3);
   EXPECT_NE(plain->Log().find("LogGetDestination: invalid log.destination content "
                               "(syslog-and-disk); ignored"),
             std::string::npos) << plain->Log();
   EXPECT_NE(plain->Log().find("Posting back a status check reply"), std::string::npos);

   auto prefixed = Start("salvor.log.destination = syslog-and-disk\n");
   Chatter(*prefixed, 3);
   EXPECT_EQ(prefixed->Log().find("invalid"), std::string::npos) << prefixed->Log();
   EXPECT_NE(prefixed->Log().find("Posting back a status check reply"), std::string::npos);
}

TEST_F(LogConfig, MinimumLevelPlainKeyFirstThenPrefixed)
{
   // Warnings only: the status-check lines (information) are not written.
   auto quiet = Start("log.logMinLevel = 110\n");
   Chatter(*quiet, 3);
   EXPECT_EQ(quiet->Log().find("Posting back a status check reply"), std::string::npos);

   auto prefixed = Start("salvor.log.logMinLevel = 110\n");
   Chatter(*prefixed, 3);
   EXPECT_EQ(prefixed->Log().find("Posting back a status check reply"), std::string::npos);

   auto both = Start("log.logMinLevel = 120\nsalvor.log.logMinLevel = 110\n");
   Chatter(*both, 3);
   EXPECT_NE(both->Log().find("Posting back a status check reply"), std::string::npos);
}

// The core image is prepared at start, with the store's keys: its reserve
// is there before memory runs short, and a panic after the store is
// released still has the configured one.
TEST_F(LogConfig, PanicKeysTakeEffectAtStart)
{
   auto salvor = Start("panic.addrSpaceReservedKB = 1024\n");
   Chatter(*salvor, 1);
   std::string log = salvor->Log();
   size_t reserved = log.find("Reserved virtual address space for CoreDump(addr:");
   ASSERT_NE(reserved, std::string::npos) << log;
   std::string line = log.substr(reserved, log.find('\n', reserved) - reserved);
   EXPECT_EQ(line.substr(line.rfind(", size:")), ", size:1024KB)") << line;
   EXPECT_EQ(log.find("early PreferenceGet(panic."), std::string::npos) << log;
}

TEST_F(LogConfig, ABareStartLogsThePrefLinesAfterTheBanner)
{
   testutil::CollectorOptions options;
   options.env = {"SALVOR_APPDATA_PATH=" + appData.Path(), "XDG_CONFIG_HOME=" + userConfig.Path()};
   CollectorProcess salvor(SALVOR_BINARY, options);
   ASSERT_TRUE(salvor.WaitReady());
   Chatter(salvor, 1);
   std::string log = salvor.Log();
   size_t banner = log.find("I120: Log for Quillon Orvex dump collector");
   size_t pref = log.find("PREF Optional preferences file not found at ");
   ASSERT_NE(banner, std::string::npos) << log;
   ASSERT_NE(pref, std::string::npos) << log;
   EXPECT_LT(banner, pref);
   size_t count = 0;
   for (size_t at = log.find("PREF Optional"); at != std::string::npos;
        at = log.find("PREF Optional", at + 1)) {
      count++;
   }
   EXPECT_EQ(count, 4u);
   EXPECT_NE(log.find("PREF Failed to load user preferences."), std::string::npos);
}

}  // namespace
}  // namespace logconfig
