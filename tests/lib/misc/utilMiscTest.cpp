// Expansion of "$NAME" references in path templates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lib/log/log.h"
#include "lib/misc/utilMisc.h"
#include "tests/lib/misc/miscTestPlatform.h"
#include "tests/support/testFiles.h"
#include "tests/support/testPlatform.h"

namespace {

// Children start afresh instead of forking a process that has threads.
class ExpandStringDeathTest : public testing::Test {
protected:
   void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Sets or clears a variable for one test and puts it back afterwards.
class ScopedEnv {
public:
   ScopedEnv(const char *name, const char *value) : name_(name)
   {
      const char *old = std::getenv(name);
      hadOld_ = old != nullptr;
      if (hadOld_) {
         old_ = old;
      }
      if (value != nullptr) {
         testutil::SetEnv(name, value);
      } else {
         testutil::UnsetEnv(name);
      }
   }
   ~ScopedEnv()
   {
      if (hadOld_) {
         testutil::SetEnv(name_, old_);
      } else {
         testutil::UnsetEnv(name_);
      }
   }

private:
   std::string name_, old_;
   bool hadOld_;
};

// The expansion as a string; "(null)" for a null result.
std::string
Expand(const std::string &text)
{
   char *out = Util_ExpandString(text.c_str());
   std::string result = out != nullptr ? out : "(null)";
   std::free(out);
   return result;
}

// Runs fn with the log going to a file and returns what was logged.
template <typename Fn>
std::string
Logged(Fn fn)
{
   testutil::TempDir dir;
   EXPECT_TRUE(Log_InitWithFile((dir / "test.log").c_str(), "test"));
   fn();
   Log_Exit();
   return testutil::ReadFile(dir / "test.log");
}

TEST(ExpandString, TextWithoutReferencesIsCopied)
{
   const char *text = "C:\\logs\\salvor.log";
   char *out = Util_ExpandString(text);
   ASSERT_NE(out, nullptr);
   EXPECT_STREQ(out, text);
   EXPECT_NE(out, text);
   std::free(out);
   EXPECT_EQ(Expand(""), "");
   EXPECT_EQ(Expand("~/x"), "~/x");  // a leading tilde stays
}

TEST(ExpandString, ProcessIdAndUser)
{
   ScopedEnv noPid("PID", nullptr), noPidLower("pid", nullptr);
   std::string pid = std::to_string(misctest::ProcessId());
   EXPECT_EQ(Expand("%TEMP%-$PID.log"), "%TEMP%-" + pid + ".log");
   EXPECT_EQ(Expand("$pid$Pid"), pid + pid);
   {
      ScopedEnv setPid("PID", "fromEnv");
      EXPECT_EQ(Expand("%TEMP%-$PID.log"), "%TEMP%-fromEnv.log");
   }

   std::string user = misctest::UserName();
   ASSERT_NE(user, "");
   ScopedEnv noUser("USER", nullptr), noUserMixed("uSeR", nullptr);
   EXPECT_EQ(Expand("/tmp/$USER/$uSeR"), "/tmp/" + user + "/" + user);
   ScopedEnv setUser("USER", "someone");
   EXPECT_EQ(Expand("/tmp/$USER"), "/tmp/someone");
}

TEST(ExpandString, EnvironmentReferencesAndChunkEnds)
{
   ScopedEnv a("SALVOR_T_A", "alpha"), b("SALVOR_T_A_1", "one");
   EXPECT_EQ(Expand("x$SALVOR_T_A/y"), "xalpha/y");
   EXPECT_EQ(Expand("$SALVOR_T_A_1.$SALVOR_T_A"), "one.alpha");  // longest name
   EXPECT_EQ(Expand("$SALVOR_T_A$SALVOR_T_A"), "alphaalpha");
   ScopedEnv empty("SALVOR_T_EMPTY", "");
   EXPECT_EQ(Expand("[$SALVOR_T_EMPTY]"), "[]");
   // A dollar sign without a name stays, silently.
   EXPECT_EQ(Logged([] {
                EXPECT_EQ(Expand("a$"), "a$");
                EXPECT_EQ(Expand("$"), "$");
                EXPECT_EQ(Expand("$$-$."), "$$-$.");
             }),
             "");
}

TEST(ExpandString, UndefinedNamesStayWithAWarning)
{
   ScopedEnv none("HOME_DIR", nullptr);
   std::string log = Logged([] { EXPECT_EQ(Expand("$HOME_DIR/x"), "$HOME_DIR/x"); });
   EXPECT_NE(log.find("Environment variable 'HOME_DIR' not defined in '$HOME_DIR/x'.\n"),
             std::string::npos)
      << log;
   // Text that looks like a format is only data.
   log = Logged([] { EXPECT_EQ(Expand("%s%n$NO_SUCH_%d"), "%s%n$NO_SUCH_%d"); });
   EXPECT_NE(log.find("'NO_SUCH_' not defined in '%s%n$NO_SUCH_%d'"), std::string::npos)
      << log;
}

TEST(ExpandString, AtMostOneHundredChunks)
{
   std::string hundred;
   for (int i = 0; i < 50; i++) {
      hundred += "$A/";  // two chunks each
   }
   ScopedEnv a("A", "a");
   std::string expected;
   for (int i = 0; i < 50; i++) {
      expected += "a/";
   }
   EXPECT_EQ(Expand(hundred), expected);

   std::string tooMany = hundred + "$A";
   std::string log = Logged([&] { EXPECT_EQ(Expand(tooMany), "(null)"); });
   EXPECT_NE(log.find("Util_ExpandString: Filename \"" + tooMany + "\" has too many chunks.\n"),
             std::string::npos)
      << log;
}

TEST(ExpandString, LongTextAndLongNames)
{
   // Plain text has no size limit; a kept reference must fit 100 bytes.
   std::string longText(500, 'p');
   EXPECT_EQ(Expand(longText + "$"), longText + "$");
   std::string name98 = "N" + std::string(97, 'x');
   ScopedEnv none(name98.c_str(), nullptr);
   EXPECT_EQ(Expand("$" + name98), "$" + name98);
}

TEST_F(ExpandStringDeathTest, KeptReferenceLongerThanItsBufferStops)
{
   std::string name99 = "N" + std::string(98, 'x');
   EXPECT_DEATH(Expand("/$" + name99), "lib/string/str:" TEST_RE_DIGITS " Buffer too small 0x");
}

}  // namespace
