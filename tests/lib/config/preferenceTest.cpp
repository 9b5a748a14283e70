// The preference store through real files in temporary common and user
// directories.
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

#include "lib/config/preference.h"
#include "lib/file/file.h"
#include "lib/log/log.h"
#include "tests/lib/config/preferenceTestUtil.h"
#include "tests/support/testFiles.h"

using preftest::Preferences;

namespace {

TEST_F(Preferences, WithoutFilesEveryLookupAnswersItsDefaultAndFivePrefLinesAreLogged)
{
   ASSERT_TRUE(Preference_Init());
   EXPECT_EQ(log.Count("PREF Optional preferences file not found at "), 4u) << log.Text();
   EXPECT_EQ(log.Count("PREF Failed to load user preferences.\n"), 1u);
   EXPECT_NE(log.Text().find("PREF Optional preferences file not found at " + common +
                             DIRSEPS "config.ini. Using default values.\n"),
             std::string::npos);
   EXPECT_NE(log.Text().find(user + DIRSEPS "config.ini. Using default values.\n"),
             std::string::npos);
   // Each PREF line follows the message library's report of why.
   std::string text = log.Text();
   size_t first = text.find("PREF Optional");
   ASSERT_NE(first, std::string::npos);
   EXPECT_NE(text.rfind("[msg.dictionary.", first), std::string::npos) << text;
   // Both directories were made on the way.
   EXPECT_TRUE(std::filesystem::is_directory(common));
   EXPECT_TRUE(std::filesystem::is_directory(user));

   EXPECT_EQ(Preference_GetLong(42, "log.rotateSize"), 42);
   EXPECT_EQ(String("tmpDirectory"), "default");
   EXPECT_EQ(Preference_GetTriState(-1, "log.keep"), -1);
}

TEST_F(Preferences, LayersAreConsultedInOrder)
{
   Write(common, "settings.ini", "shared = settings\n");
   Write(common, "config.ini", "shared = common\nonlyCommon = common\nprefsOverConfig = common\n");
   Write(user, "config.ini", "onlyCommon = user\n");
   Write(user, "preferences.ini", "shared = prefs\nprefsOverConfig = prefs\nmine = 7\n");
   ASSERT_TRUE(Preference_Init());
   EXPECT_EQ(String("shared"), "settings") << "site settings come first";
   EXPECT_EQ(String("prefsOverConfig"), "prefs") << "preferences before any config.ini";
   EXPECT_EQ(String("onlyCommon"), "user") << "the user's config.ini before the common one";
   EXPECT_EQ(Preference_GetLong(0, "MINE"), 7) << "names ignore case";
   EXPECT_EQ(log.Count("PREF"), 0u) << log.Text();
}

TEST_F(Preferences, DisableUserPreferencesCountsOnlyInTheCommonConfig)
{
   Write(user, "preferences.ini", "key = prefs\n");
   Write(user, "config.ini", "disableUserPreferences = true\n");
   ASSERT_TRUE(Preference_Init());
   EXPECT_EQ(String("key"), "prefs");
   Preference_Exit();

   Write(common, "config.ini", "disableUserPreferences = true\n");
   log.Text();
   ASSERT_TRUE(Preference_Init());
   EXPECT_EQ(String("key"), "default");
   EXPECT_NE(log.Text().find("PREF Disabling user preferences because disableUserPreferences "
                             "is set.\n"),
             std::string::npos);
}

TEST_F(Preferences, TheFirstDefaultOfAnUnsetKeyStays)
{
   ASSERT_TRUE(Preference_Init());
   EXPECT_EQ(Preference_GetLong(5, "unset.key"), 5);
   EXPECT_EQ(Preference_GetLong(9, "unset.key"), 5);
   EXPECT_EQ(Config_GetLong(11, "%s.%s", "unset", "key"), 5);
}

TEST_F(Preferences, EarlyLookupsAnswerTheDefaultAndSaySo)
{
   EXPECT_EQ(Preference_GetLong(3, "log.keepOld"), 3);
   EXPECT_NE(log.Text().find("PREF early PreferenceGet(log.keepOld), using default\n"),
             std::string::npos);
   EXPECT_FALSE(Preference_GetBool(false, "msg.dictionary.errorWhatever"));
   EXPECT_EQ(log.Text().find("msg.dictionary.error"), std::string::npos);
   ASSERT_TRUE(Preference_Init());
   Preference_Exit();
   EXPECT_EQ(Preference_GetLong(4, "late.key"), 4);
   EXPECT_NE(log.Text().find("PREF early PreferenceGet(late.key)"), std::string::npos);
}

TEST_F(Preferences, DamagedFilesKeepWhatWasReadAndDoNotStopTheStart)
{
   Write(common, "config.ini", "good = 1\nthis line is broken\nlater = 2\n");
   Write(user, "preferences.ini", "twice = 1\ntwice = 2\n");
   ASSERT_TRUE(Preference_Init());
   EXPECT_EQ(Preference_GetLong(0, "good"), 1);
   EXPECT_NE(log.Text().find("PREF Optional preferences file not found at " + common +
                             DIRSEPS "config.ini"),
             std::string::npos);
   EXPECT_NE(log.Text().find("PREF Failed to load user preferences.\n"), std::string::npos);
   // A value that does not convert answers the default and is reported.
   Write(user, "config.ini", "log.rotateSize = lots\n");
   Preference_Exit();
   ASSERT_TRUE(Preference_Init());
   EXPECT_EQ(Preference_GetLong(-1, "log.rotateSize"), -1);
}

TEST_F(Preferences, IsSetFixesNothingAndAnswersFalseBeforeTheStoreIsLoaded)
{
   EXPECT_FALSE(Preference_IsSet("key"));
   Write(user, "config.ini", "key = 1\n");
   ASSERT_TRUE(Preference_Init());
   EXPECT_TRUE(Preference_IsSet("KEY"));
   EXPECT_FALSE(Preference_IsSet("unset.key"));
   EXPECT_FALSE(Preference_IsSet("unset.key")) << "asking fixes nothing";
   EXPECT_EQ(Preference_GetLong(5, "unset.key"), 5);
   EXPECT_TRUE(Preference_IsSet("unset.key")) << "a lookup fixes its default";
}

TEST_F(Preferences, AValueThatDoesNotConvertIsReportedWithTheDefaultAnswered)
{
   Write(user, "config.ini",
         "log.keepOld = lots\nlog.keep = maybe\nsalvor.log.rotateSize = huge\n"
         "salvor.log.logMinLevel = 110\n");
   ASSERT_TRUE(Preference_Init());
   LogParams params;
   Log_ParamsDefaults(&params);
   params.keepOld = 7;
   params.keep = true;
   params.rotateSize = 4096;
   params.logMinLevel = 120;
   Log_ParamsFromConfig("salvor", &params);
   EXPECT_EQ(params.keepOld, 7u);
   EXPECT_TRUE(params.keep);
   EXPECT_EQ(params.rotateSize, 4096u);
   // The prefixed key still counts when the plain one is unset.
   EXPECT_EQ(params.logMinLevel, 110);
   std::string text = log.Text();
   EXPECT_NE(text.find("Value \"lots\" for variable \"log.keepOld\" is not a valid integer "
                       "value. Using value \"7\"."),
             std::string::npos) << text;
   EXPECT_NE(text.find("Value \"maybe\" for variable \"log.keep\" is not a valid tristate "
                       "value. Using value \"TRUE\"."),
             std::string::npos) << text;
   EXPECT_NE(text.find("Value \"huge\" for variable \"salvor.log.rotateSize\" is not a valid "
                       "integer value. Using value \"4096\"."),
             std::string::npos) << text;
   EXPECT_EQ(text.find("Using value \"-1\""), std::string::npos) << text;
   EXPECT_EQ(text.find("Using value \"default\""), std::string::npos) << text;
}

// A plain key that does not convert is absent: the prefixed key counts,
// and the report of the plain one names the value the field takes.
TEST_F(Preferences, APlainValueThatDoesNotConvertLeavesThePrefixedKeyInForce)
{
   Write(user, "config.ini",
         "log.logMinLevel = abc\nsalvor.log.logMinLevel = 130\n"
         "log.keep = maybe\nsalvor.log.keep = false\n"
         "log.rotateSize = -5\nsalvor.log.rotateSize = 8192\n"
         "log.keepOld = lots\n"
         "log.useThreadName = false\nsalvor.log.useThreadName = true\n");
   ASSERT_TRUE(Preference_Init());
   LogParams params;
   Log_ParamsDefaults(&params);
   params.keep = true;
   Log_ParamsFromConfig("salvor", &params);
   EXPECT_EQ(params.logMinLevel, 130);
   EXPECT_FALSE(params.keep);
   EXPECT_EQ(params.rotateSize, 8192u);
   EXPECT_EQ(params.keepOld, 3u) << "nothing else set: the field stays";
   EXPECT_FALSE(params.useThreadName) << "a plain value that converts comes first";
   std::string text = log.Text();
   EXPECT_NE(text.find("Value \"abc\" for variable \"log.logMinLevel\" is not a valid integer "
                       "value. Using value \"130\"."),
             std::string::npos) << text;
   EXPECT_NE(text.find("Value \"maybe\" for variable \"log.keep\" is not a valid tristate "
                       "value. Using value \"FALSE\"."),
             std::string::npos) << text;
   EXPECT_NE(text.find("Value \"lots\" for variable \"log.keepOld\" is not a valid integer "
                       "value. Using value \"3\"."),
             std::string::npos) << text;
}

TEST_F(Preferences, ACommonDirectoryThatCannotBeMadeIsSkipped)
{
   // A file where the vendor directory should be.
   testutil::WriteFile(dir / "etc/Quillon", "not a directory");
   Write(user, "config.ini", "key = user\n");
   ASSERT_TRUE(Preference_Init());
   EXPECT_EQ(String("key"), "user");
   EXPECT_EQ(log.Count("PREF Optional preferences file not found at "), 3u) << log.Text();
}

}  // namespace
