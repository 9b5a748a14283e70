// The configuration lookups the libraries make, with and without a store
// behind them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lib/misc/preferenceLookup.h"

namespace {

// A store that defines "answer.*" keys as 7, true, "stored" and remembers
// the last key asked for.
std::string lastKey;

bool FakeIsSet(const char *name) { lastKey = name; return true; }
bool FakeBool(bool, const char *name) { lastKey = name; return true; }
int FakeTriState(int, const char *name) { lastKey = name; return -1; }
int32_t FakeLong(int32_t, const char *name) { lastKey = name; return 7; }
char *FakeString(const char *, const char *name) { lastKey = name; return strdup("stored"); }

const PreferenceLookups FAKE_STORE = {FakeIsSet, FakeBool, FakeTriState, FakeLong, FakeString};

class PreferenceLookupTest : public testing::Test {
protected:
   void TearDown() override { Preference_SetLookups(nullptr); }
};

std::string
Take(char *s)
{
   std::string out = s != nullptr ? s : "(null)";
   std::free(s);
   return out;
}

TEST_F(PreferenceLookupTest, WithoutAStoreEveryLookupAnswersItsDefault)
{
   EXPECT_FALSE(Preference_IsSet("a.key"));
   EXPECT_TRUE(Preference_GetBool(true, "a.key"));
   EXPECT_EQ(Preference_GetTriState(-1, "a.key"), -1);
   EXPECT_EQ(Preference_GetLong(42, "a.key"), 42);
   EXPECT_EQ(Take(Preference_GetString("dflt", "a.key")), "dflt");
   EXPECT_EQ(Take(Preference_GetString(nullptr, "a.key")), "(null)");
   EXPECT_EQ(Config_GetLong(5, "a.%s", "key"), 5);
}

TEST_F(PreferenceLookupTest, AnInstalledStoreAnswersUntilTakenBack)
{
   Preference_SetLookups(&FAKE_STORE);
   EXPECT_TRUE(Preference_IsSet("a.key"));
   EXPECT_TRUE(Preference_GetBool(false, "a.key"));
   EXPECT_EQ(Preference_GetTriState(1, "a.key"), -1);
   EXPECT_EQ(Preference_GetLong(0, "a.key"), 7);
   EXPECT_EQ(Take(Preference_GetString(nullptr, "a.key")), "stored");

   Preference_SetLookups(nullptr);
   EXPECT_EQ(Preference_GetLong(0, "a.key"), 0);
}

TEST_F(PreferenceLookupTest, FormattedKeysReachTheStoreAndTooLongOnesAnswerTheDefault)
{
   Preference_SetLookups(&FAKE_STORE);
   EXPECT_EQ(Config_GetLong(0, "answer.%s.%d", "msg", 3), 7);
   EXPECT_EQ(lastKey, "answer.msg.3");
   EXPECT_EQ(Take(Config_GetString("x", "answer.%s", "id")), "stored");

   lastKey.clear();
   std::string longName(1100, 'k');
   EXPECT_EQ(Config_GetLong(3, "%s", longName.c_str()), 3);
   EXPECT_FALSE(Config_GetBool(false, "%s", longName.c_str()));
   EXPECT_EQ(Take(Config_GetString("dflt", "%s", longName.c_str())), "dflt");
   EXPECT_EQ(Take(Config_GetString(nullptr, "%s", longName.c_str())), "(null)");
   EXPECT_TRUE(lastKey.empty());
}

}  // namespace
