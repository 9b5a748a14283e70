// A user preference file locked by another process, as the real
// collector meets it at start.
#include <filesystem>
#include <gtest/gtest.h>

#include <string>

#include "tests/collector/logConfigTest.h"
#include "tests/support/lockHolder.h"

namespace logconfig {
namespace {

TEST_F(LogConfig, LockedUserPreferencesAreSkippedWithTheReason)
{
   std::string prefsDir = userConfig / "Quillon";
   std::filesystem::create_directories(prefsDir);
   std::string prefs = (std::filesystem::path(prefsDir) / "preferences.ini").string();
   testutil::WriteFile(prefs, "log.logMinLevel = 110\n");
   std::unique_ptr<CollectorProcess> salvor;
   {
      testutil::LockHolder holder(prefs);
      ASSERT_TRUE(holder.Holding());
      salvor = Start("");
   }
   Chatter(*salvor, 1);
   std::string log = salvor->Log();
   // The collector names the file as it resolved it: on Windows under
   // Wine a drive path ("Z:\\...") for the test's Unix one.
   std::string line = "Unable to lock user preference file ";
   size_t at = log.find(line);
   ASSERT_NE(at, std::string::npos) << log;
   std::string named = log.substr(at + line.size(), log.find('\n', at) - at - line.size());
   std::string tail = (std::filesystem::path("Quillon") / "preferences.ini for reading.").string();
   EXPECT_TRUE(named.ends_with(tail)) << named;
   // The locked file's minimum level was not applied.
   EXPECT_NE(log.find("Posting back a status check reply"), std::string::npos);
}

}  // namespace
}  // namespace logconfig
