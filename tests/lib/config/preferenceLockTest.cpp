// The user's preferences are read under a shared advisory lock: another
// process holding the file's lock keeps them unread.
#include <gtest/gtest.h>
#include <string>

#include "lib/file/file.h"
#include "tests/lib/config/preferenceTestUtil.h"
#include "tests/support/lockHolder.h"

using preftest::Preferences;

TEST_F(Preferences, PreferencesHeldUnderAnExclusiveLockAreNotRead)
{
   Write(user, "preferences.ini", "key = prefs\n");
   std::string path = user + DIRSEPS "preferences.ini";
   {
      testutil::LockHolder holder(path);
      ASSERT_TRUE(holder.Holding());
      ASSERT_TRUE(Preference_Init());
   }
   EXPECT_EQ(String("key"), "default");
   EXPECT_NE(log.Text().find("Unable to lock user preference file " + path + " for reading."),
             std::string::npos) << log.Text();
   EXPECT_NE(log.Text().find("PREF Failed to load user preferences.\n"), std::string::npos);
}
