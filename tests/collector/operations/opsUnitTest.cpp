// The pieces of the operations features that can be looked at alone: the
// received ranges of a dump, escaping for the journal and the metrics, the
// host directories as the retention reads them back, and the settings'
// elements.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "collector/receive/salvorAddress.h"
#include "collector/operations/salvorMetrics.h"
#include "collector/operations/salvorRanges.h"
#include "collector/operations/salvorText.h"
#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorConfigFile.h"
#include "collector/startup/salvorOpsConfig.h"
#include "tests/support/testFiles.h"
#include "tests/support/testPlatform.h"

namespace {

std::string
HolesOf(const SalvorRangeSet &set, uint64_t *holeBytes = nullptr)
{
   SalvorRange holes[SALVOR_MAX_HOLES_SHOWN];
   uint64_t bytes = 0;
   size_t n = set.Holes(holes, SALVOR_MAX_HOLES_SHOWN, &bytes);
   std::string text;
   for (size_t i = 0; i < n && i < SALVOR_MAX_HOLES_SHOWN; i++) {
      text += "[" + std::to_string(holes[i].start) + "," + std::to_string(holes[i].end) + "]";
   }
   if (holeBytes != nullptr) {
      *holeBytes = bytes;
   }
   return text + (n > SALVOR_MAX_HOLES_SHOWN ? "+" + std::to_string(n) : "");
}

TEST(Ranges, OutOfOrderPiecesMergeAndLeaveTheirGaps)
{
   SalvorRangeSet set;
   EXPECT_FALSE(set.Add(100, 200));
   EXPECT_FALSE(set.Add(300, 400));
   EXPECT_FALSE(set.Add(500, 600));
   uint64_t bytes = 0;
   EXPECT_EQ(HolesOf(set, &bytes), "[0,100][200,100][400,100]");
   EXPECT_EQ(bytes, 300u);
   // Touching on both sides, then spanning two ranges at once.
   EXPECT_FALSE(set.Add(200, 300));
   EXPECT_FALSE(set.Add(350, 550));
   EXPECT_EQ(HolesOf(set), "[0,100]");
   EXPECT_FALSE(set.Add(0, 100));
   EXPECT_EQ(HolesOf(set, &bytes), "");
   EXPECT_EQ(bytes, 0u);
   EXPECT_EQ(set.Highest(), 600u);
}

TEST(Ranges, RepeatsAreToldApartFromNewBytes)
{
   SalvorRangeSet set;
   set.Add(0, 1000);
   set.Add(2000, 3000);
   EXPECT_TRUE(set.Add(0, 1000));
   EXPECT_TRUE(set.Add(2500, 2600));
   EXPECT_FALSE(set.Add(900, 1100)) << "partly new";
   EXPECT_FALSE(set.Add(1500, 3000)) << "partly new, before the last range";
   EXPECT_EQ(HolesOf(set), "[1100,400]");
}

TEST(Ranges, PastTheLimitTheHolesAreUnknownUntilTheReset)
{
   SalvorRangeSet set;
   for (uint64_t i = 0; i < SALVOR_MAX_RANGES; i++) {
      set.Add(i * 10 + 5, i * 10 + 10);  // backwards would cost the same
   }
   EXPECT_FALSE(set.Unknown());
   uint64_t bytes = 0;
   std::string holes = HolesOf(set, &bytes);
   EXPECT_EQ(bytes, SALVOR_MAX_RANGES * 5);
   EXPECT_EQ(holes.substr(holes.size() - 5), "+4096") << "only the first 16 are shown";
   set.Add(SALVOR_MAX_RANGES * 10 + 5, SALVOR_MAX_RANGES * 10 + 10);
   EXPECT_TRUE(set.Unknown());
   set.Add(0, 1);
   EXPECT_TRUE(set.Unknown());
   EXPECT_EQ(set.Highest(), SALVOR_MAX_RANGES * 10 + 10);
   set.Reset();
   EXPECT_FALSE(set.Unknown());
   set.Add(5, 10);
   EXPECT_EQ(HolesOf(set), "[0,5]");
}

TEST(Ranges, OffsetsPastFourGiBAreKept)
{
   SalvorRangeSet set;
   uint64_t top = 0xffffffffull;
   set.Add(top - 10, top + 1542);
   EXPECT_EQ(set.Highest(), top + 1542);
   EXPECT_EQ(HolesOf(set), "[0," + std::to_string(top - 10) + "]");
}

TEST(Ranges, HolesReachTheGivenEndAndMissingBytesAreThoseNotCovered)
{
   SalvorRangeSet written;
   written.Add(0, 100);
   written.Add(200, 300);
   EXPECT_EQ(HolesOf(written), "[100,100]");
   uint64_t bytes = 0;
   SalvorRange holes[4];
   EXPECT_EQ(written.Holes(holes, 4, &bytes, 450), 2u);
   EXPECT_EQ(holes[1].start, 300u);
   EXPECT_EQ(holes[1].end, 150u);
   EXPECT_EQ(bytes, 250u);
   EXPECT_EQ(written.Holes(holes, 4, &bytes, 250), 1u) << "an end below the highest byte";

   SalvorRangeSet failed;
   uint64_t end = 0;
   EXPECT_EQ(failed.Missing(written, &end), 0u);
   EXPECT_EQ(end, 0u);
   failed.Add(50, 120);   // partly written again
   failed.Add(250, 260);  // written again
   failed.Add(280, 400);  // its tail not
   EXPECT_EQ(failed.Missing(written, &end), 20u + 100u);
   EXPECT_EQ(end, 400u);
   SalvorRangeSet none;
   EXPECT_EQ(failed.Missing(none, &end), 70u + 10u + 120u);
   EXPECT_EQ(written.Missing(written, &end), 0u);
}

std::string
Json(const char *text)
{
   std::string out;
   SalvorAppendJsonString(&out, text);
   return out;
}

TEST(Escaping, JsonStringsAlwaysParseWhateverTheBytes)
{
   EXPECT_EQ(Json("plain/path"), "\"plain/path\"");
   EXPECT_EQ(Json("a\"b\\c"), "\"a\\\"b\\\\c\"");
   EXPECT_EQ(Json("l1\nl2\t\x01\x1f\x7f"), "\"l1\\nl2\\t\\u0001\\u001f\\u007f\"");
   EXPECT_EQ(Json("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xa5"),
             "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xa5\"");
   // A lone byte, a cut sequence, an overlong form and a surrogate.
   EXPECT_EQ(Json("x\xffy"), "\"x\xef\xbf\xbdy\"");
   EXPECT_EQ(Json("x\xe2\x82"), "\"x\xef\xbf\xbd\xef\xbf\xbd\"");
   EXPECT_EQ(Json("\xc0\xaf"), "\"\xef\xbf\xbd\xef\xbf\xbd\"");
   EXPECT_EQ(Json("\xed\xa0\x80"), "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");
}

TEST(Escaping, LabelValuesEscapeQuotesBackslashesAndNewlines)
{
   std::string out;
   SalvorAppendLabelValue(&out, "a\"b\\c\nd\xfe");
   EXPECT_EQ(out, "a\\\"b\\\\c\\nd\xef\xbf\xbd");
}

// A nearly full file system must not read as "0 MiB free".
TEST(SizeText, SmallAmountsKeepAUnitThatShowsThem)
{
   EXPECT_EQ(SalvorSizeText(1004 * 1024), "1004 KiB");
   EXPECT_EQ(SalvorSizeText((5u << 20) + 1023), "5 MiB");
   EXPECT_EQ(SalvorSizeText(1u << 20), "1 MiB");
   EXPECT_EQ(SalvorSizeText(1023), "1023 bytes");
   EXPECT_EQ(SalvorSizeText(0), "0 bytes");
}

// The host whose directory levels SalvorHostLevels made for `text`, as text.
std::string
RoundTrip(const char *text)
{
   NetIp ip;
   EXPECT_TRUE(Net_ParseIp(text, &ip)) << text;
   SalvorHostLevels levels(ip);
   NetIp back;
   if (!SalvorHostOfLevels(levels.levels, levels.count, &back)) {
      return "<refused>";
   }
   EXPECT_TRUE(back == ip) << text;
   return SalvorAddrText(back).text;
}

bool
Reads(std::vector<const char *> levels)
{
   NetIp ip;
   return SalvorHostOfLevels(levels.data(), (int)levels.size(), &ip);
}

TEST(HostDirectories, ReadBackAsTheHostThatMadeThem)
{
   EXPECT_EQ(RoundTrip("10.20.0.255"), "10.20.0.255");
   EXPECT_EQ(RoundTrip("::ffff:127.0.0.2"), "127.0.0.2");
   EXPECT_EQ(RoundTrip("::1"), "::1");
   EXPECT_EQ(RoundTrip("2001:db8:0:ffff:abcd::10"), "2001:db8:0:ffff:abcd::10");
   EXPECT_EQ(RoundTrip("::"), "::");
}

TEST(HostDirectories, OtherShapesAreNoHosts)
{
   EXPECT_FALSE(Reads({"10", "0", "0", "256"}));
   EXPECT_FALSE(Reads({"10", "0", "0", "01"}));
   EXPECT_FALSE(Reads({"10", "0", "a", "1"}));
   EXPECT_FALSE(Reads({"10", "0", "0"}));
   EXPECT_FALSE(Reads({"2001", "db8", "0", "0", "0", "0", "0", "10000"}));
   EXPECT_FALSE(Reads({"2001", "DB8", "0", "0", "0", "0", "0", "1"}));
   EXPECT_FALSE(Reads({"2001", "0db8", "0", "0", "0", "0", "0", "1"}));
   EXPECT_FALSE(Reads({"2001", "db8", "0", "0", "0", "", "0", "1"}));
   // An IPv4-mapped address is its IPv4 host's, never eight levels.
   EXPECT_FALSE(Reads({"0", "0", "0", "0", "0", "ffff", "a00", "1"}));
   EXPECT_TRUE(Reads({"0", "0", "0", "0", "0", "fffe", "a00", "1"}));
}

class OpsSettings : public ::testing::Test {
protected:
   void SetUp() override { SalvorConfigReset(); }
   void TearDown() override { SalvorConfigReset(); }
   int Read(const std::string &inner)
   {
      std::string path = dir / "config.xml";
      testutil::WriteFile(path, "<config>" + inner + "</config>");
      return SalvorWin32ReadConfig(path.c_str());
   }
   // A program in the test's directory that a hook may name; its path.
   std::string Program(const std::string &name)
   {
      std::string path = dir / name;
      testutil::WriteFile(path, TEST_ON_WINDOWS ? "@exit /b 0\r\n" : "#!/bin/sh\n");
      std::filesystem::permissions(path, std::filesystem::perms::owner_all);
      return path;
   }
   testutil::TempDir dir;
};

TEST_F(OpsSettings, AbsentElementsLeaveEveryFeatureOff)
{
   EXPECT_EQ(Read("<level>0</level>"), 0);
   EXPECT_STREQ(SalvorOpsConfig.dumpHook, "");
   EXPECT_EQ(SalvorOpsConfig.hookTimeout, 300);
   EXPECT_EQ(SalvorOpsConfig.keepFreeMiB, 0);
   EXPECT_EQ(SalvorOpsConfig.keepDays, 0);
   EXPECT_EQ(SalvorOpsConfig.keepPerHost, 0);
   EXPECT_STREQ(SalvorOpsConfig.metricsFile, "");
}

TEST_F(OpsSettings, ValuesAreTakenByPrefixLikeTheOtherElements)
{
   std::string hook = Program(TEST_ON_WINDOWS ? "hook.cmd" : "hook");
   EXPECT_EQ(Read("<dumpHookPath>" + hook + "</dumpHookPath><hookTimeoutSec> 20 "
                  "</hookTimeoutSec><keepFreeMiB>512</keepFreeMiB><keepDays>7</keepDays>"
                  "<keepPerHost>3</keepPerHost><metricsFile>/m/salvor.prom</metricsFile>"),
             0);
   EXPECT_STREQ(SalvorOpsConfig.dumpHook, hook.c_str());
   EXPECT_EQ(SalvorOpsConfig.hookTimeout, 20);
   EXPECT_EQ(SalvorOpsConfig.keepFreeMiB, 512);
   EXPECT_EQ(SalvorOpsConfig.keepDays, 7);
   EXPECT_EQ(SalvorOpsConfig.keepPerHost, 3);
   EXPECT_STREQ(SalvorOpsConfig.metricsFile, "/m/salvor.prom");
}

TEST_F(OpsSettings, ValuesThatCouldRemoveTooMuchAreRefused)
{
   // A typo must not read as 0 or as a smaller number.
   for (const char *bad : {"<keepDays>0</keepDays>", "<keepDays>7d</keepDays>",
                           "<keepPerHost>-1</keepPerHost>", "<keepPerHost></keepPerHost>",
                           "<keepFreeMiB>lots</keepFreeMiB>", "<hookTimeout>0</hookTimeout>",
                           "<dumpHook></dumpHook>", "<metricsFile></metricsFile>"}) {
      SalvorConfigReset();
      EXPECT_NE(Read(bad), 0) << bad;
   }
}

// A link planted where the metrics writer might put its temporary file
// once led it to overwrite the file behind the link.
TEST_F(OpsSettings, MetricsAreWrittenThroughANewFileNeverThroughAPlantedLink)
{
   std::string metrics = dir / "salvor.prom";
   std::string victim = dir / "victim";
   testutil::WriteFile(victim, "precious\n");
   std::error_code ec;
   std::filesystem::create_symlink(victim, metrics + ".tmp", ec);
   if (ec) {
      GTEST_SKIP() << "no symbolic links can be made here";
   }
   std::snprintf(SalvorOpsConfig.metricsFile, sizeof SalvorOpsConfig.metricsFile, "%s",
                 metrics.c_str());
   SalvorMetricsWrite();
   SalvorMetricsWrite();
   EXPECT_EQ(testutil::ReadFile(victim), "precious\n");
   EXPECT_NE(testutil::ReadFile(metrics).find("# TYPE salvor_dumps_total counter\n"),
             std::string::npos) << testutil::ReadFile(metrics);
   EXPECT_TRUE(std::filesystem::is_symlink(metrics + ".tmp"));
   for (const auto &entry : std::filesystem::directory_iterator(dir.Path())) {
      EXPECT_FALSE(entry.path().filename().string().starts_with("salvor.prom.tmp."))
         << "a temporary file was left: " << entry.path();
   }
}

// A hook that cannot be started would fail for every dump: it is refused
// at start instead.
TEST_F(OpsSettings, HookThatCannotBeStartedIsRefused)
{
   std::string hook = Program(TEST_ON_WINDOWS ? "hook.cmd" : "hook");
   std::string text = dir / (TEST_ON_WINDOWS ? "notes.txt" : "notes");
   testutil::WriteFile(text, "not a program");
   std::filesystem::permissions(text, std::filesystem::perms::owner_read |
                                         std::filesystem::perms::owner_write);
   std::string relative = TEST_ON_WINDOWS ? "hook.cmd" : "./hook";
   const std::pair<std::string, const char *> cases[] = {
      {relative, "is not a full path"},
      {dir / "missing", "cannot be found"},
      {dir.Path(), "is not a regular file"},
      {text, "is not a program that can be run"},
      {" " + hook, "begins or ends with white space"},
      {hook + " ", "begins or ends with white space"},
   };
   for (const auto &[bad, reason] : cases) {
      SalvorConfigReset();
      // The reason goes to the start-up trace, which the console copies.
      SalvorConfig.debugMode = true;
      ::testing::internal::CaptureStderr();
      EXPECT_NE(Read("<dumpHook>" + bad + "</dumpHook>"), 0) << "\"" << bad << "\"";
      std::string trace = ::testing::internal::GetCapturedStderr();
      EXPECT_NE(trace.find(reason), std::string::npos) << trace;
      EXPECT_STREQ(SalvorOpsConfig.dumpHook, "") << bad;
   }
}

}  // namespace
