// A user preference file locked by another process, as the real
// collector meets it at start. The process holding the lock is POSIX only.
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
   std::string prefs = prefsDir + "/preferences.ini";
   testutil::WriteFile(prefs, "log.logMinLevel = 110\n");
   std::unique_ptr<CollectorProcess> salvor;
   {
      testutil::LockHolder holder(prefs);
      ASSERT_TRUE(holder.Holding());
      salvor = Start("");
   }
   Chatter(*salvor, 1);
   std::string log = salvor->Log();
   EXPECT_NE(log.find("Unable to lock user preference file " + prefs + " for reading."),
             std::string::npos) << log;
   // The locked file's minimum level was not applied.
   EXPECT_NE(log.find("Posting back a status check reply"), std::string::npos);
}

}  // namespace
}  // namespace logconfig
