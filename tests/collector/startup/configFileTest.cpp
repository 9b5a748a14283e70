// The configuration file and the start-up checks it runs.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <map>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorConfigFile.h"
#include "collector/startup/salvorNetConfig.h"
#include "collector/startup/salvorOpsConfig.h"
#include "collector/service/salvorMain.h"
#include "collector/startup/salvorStartup.h"
#include "lib/misc/platFault.h"
#include "tests/collector/receive/collectorTestPlat.h"
#include "tests/support/process.h"
#include "tests/support/testPlatform.h"
#include "tests/support/testUtil.h"

namespace {

class ConfigFile : public ::testing::Test {
protected:
   void SetUp() override { SalvorConfigReset(); }
   void TearDown() override { PlatFault_Clear(); }

   int Read(const std::string &xml)
   {
      std::string path = dir / "config.xml";
      testutil::WriteFile(path, xml);
      return SalvorWin32ReadConfig(path.c_str());
   }
   int ReadValues(const std::string &inner)
   {
      return Read("<config>" + inner + "</config>");
   }

   testutil::TempDir dir;
};

TEST_F(ConfigFile, NoRecognisedElementsKeepsTheDefaults)
{
   EXPECT_EQ(Read("<anything><other>1</other></anything>"), 0);
   EXPECT_EQ(SalvorConfig.port, 6500);
   EXPECT_STREQ(SalvorConfig.dataDir, "");
   EXPECT_STREQ(SalvorConfig.logFile, "");
   EXPECT_EQ(SalvorConfig.verbose, 0);
   EXPECT_EQ(SalvorConfig.maxSize, 2);
}

TEST_F(ConfigFile, MissingOrMalformedFileIsRefused)
{
   EXPECT_NE(SalvorWin32ReadConfig((dir / "absent.xml").c_str()), 0);
   EXPECT_NE(Read("<config><port>"), 0);
}

// One element's outcome: the whole file's result and one setting after it.
struct ElementCase {
   const char *xml;  // inside the root element
   int result;
   const char *setting;
   int64_t expected;
};

int64_t
Setting(const std::string &name)
{
   const std::map<std::string, int64_t> settings = {
      {"port", SalvorConfig.port},
      {"verbose", SalvorConfig.verbose},
      {"maxSize", SalvorConfig.maxSize},
      {"hookTimeout", SalvorOpsConfig.hookTimeout},
      {"keepFreeMiB", SalvorOpsConfig.keepFreeMiB},
      {"keepDays", SalvorOpsConfig.keepDays},
      {"keepPerHost", SalvorOpsConfig.keepPerHost},
      {"resumeDumps", SalvorOpsConfig.resumeDumps},
      {"listenCount", SalvorNetConfig.listenCount},
      {"allowCount", SalvorNetConfig.allowCount},
   };
   return settings.at(name);
}

// Each case on its own defaults: what a value is read as, where its limits
// are, and whether a refused value is kept.
TEST_F(ConfigFile, EachElementAtItsLimits)
{
   const std::string keepFreeMost = std::to_string(INT64_MAX >> 20);
   const std::string keepFreeBeyond = std::to_string((INT64_MAX >> 20) + 1);
   const std::string keepFree[] = {"<keepFreeMiB>" + keepFreeMost + "</keepFreeMiB>",
                                   "<keepFreeMiB>" + keepFreeBeyond + "</keepFreeMiB>"};
   const ElementCase cases[] = {
      // A port counts only after a defaultValues element, once per such element.
      {"<port>7000</port>", 0, "port", 6500},
      {"<defaultValues><port>7000</port><port>7001</port></defaultValues>", 0, "port", 7000},
      {"<defaultValues/><port>7002</port><defaultValues/><portNumber>7003</portNumber>", 0,
       "port", 7003},
      {"<defaultValues><Port>7004</Port></defaultValues>", 0, "port", 6500},
      // A refused port stays set: the start is refused anyway.
      {"<defaultValues><port>1023</port></defaultValues>", -1, "port", 1023},
      {"<defaultValues><port>1024</port></defaultValues>", 0, "port", 1024},
      {"<defaultValues><port>65535</port></defaultValues>", 0, "port", 65535},
      {"<defaultValues><port>65536</port></defaultValues>", -1, "port", 65536},
      {"<defaultValues><port>0</port></defaultValues>", -1, "port", 0},
      {"<defaultValues><port>6500abc</port></defaultValues>", 0, "port", 6500},
      {"<defaultValues><port> 7000</port></defaultValues>", 0, "port", 7000},
      {"<defaultValues><port>none</port></defaultValues>", -1, "port", 0},
      // Beyond the int range a number is clamped, never wrapped to 6500.
      {"<defaultValues><port>4294973796</port></defaultValues>", -1, "port", INT_MAX},
      {"<defaultValues><port> +7000x</port></defaultValues>", 0, "port", 7000},
      {"<level>0</level>", 0, "verbose", 0},
      {"<levels>3</levels>", 0, "verbose", 1},
      {"<level>4294967296</level>", 0, "verbose", 1},
      {"<level>-1</level>", -1, "verbose", 0},
      {"<Level>3</Level>", 0, "verbose", 0},
      {"<maxSize>0</maxSize>", 0, "maxSize", 0},
      {"<maxSizeGB>9</maxSizeGB>", 0, "maxSize", 9},
      {"<maxSize>x</maxSize>", 0, "maxSize", 0},
      {"<maxSize>-1</maxSize>", -1, "maxSize", -1},
      {"<maxSize>99999999999</maxSize>", 0, "maxSize", INT_MAX},
      {"<maxSize>-99999999999</maxSize>", -1, "maxSize", INT_MIN},
      // Whole numbers: a refused one leaves the setting as it was.
      {"<hookTimeout>1</hookTimeout>", 0, "hookTimeout", 1},
      {"<hookTimeout>86400</hookTimeout>", 0, "hookTimeout", 86400},
      {"<hookTimeout>0</hookTimeout>", -1, "hookTimeout", 300},
      {"<hookTimeout>86401</hookTimeout>", -1, "hookTimeout", 300},
      {"<keepDays>1</keepDays>", 0, "keepDays", 1},
      {"<keepDays>100000</keepDays>", 0, "keepDays", 100000},
      {"<keepDays>100001</keepDays>", -1, "keepDays", 0},
      {"<keepDays>7d</keepDays>", -1, "keepDays", 0},
      {"<keepDays>\n 7 \n</keepDays>", 0, "keepDays", 7},
      {"<keepPerHost>1000000</keepPerHost>", 0, "keepPerHost", 1000000},
      {"<keepPerHost>1000001</keepPerHost>", -1, "keepPerHost", 0},
      {"<keepFreeMiB>0</keepFreeMiB>", 0, "keepFreeMiB", 0},
      {keepFree[0].c_str(), 0, "keepFreeMiB", INT64_MAX >> 20},
      {keepFree[1].c_str(), -1, "keepFreeMiB", 0},
      {"<keepFreeMiB>99999999999999999999</keepFreeMiB>", -1, "keepFreeMiB", 0},
      // A later element that does not repeat replaces the earlier one.
      {"<keepDays>3</keepDays><keepDays>5</keepDays>", 0, "keepDays", 5},
      {"<level>2</level><level>0</level>", 0, "verbose", 1},
      {"<keepDays>3</keepDays><keepDays>0</keepDays>", -1, "keepDays", 3},
      // true or false, 1 or 0, and nothing else.
      {"<resumeDumps>true</resumeDumps>", 0, "resumeDumps", 1},
      {"<resumeDumps> 1\n</resumeDumps>", 0, "resumeDumps", 1},
      {"<resumeDumps>true</resumeDumps><resumeDumps>0</resumeDumps>", 0, "resumeDumps", 0},
      {"<resumeDumps>false</resumeDumps>", 0, "resumeDumps", 0},
      {"<resumeDumps>yes</resumeDumps>", -1, "resumeDumps", 0},
      {"<resumeDumps>TRUE</resumeDumps>", -1, "resumeDumps", 0},
      {"<resumeDumps></resumeDumps>", -1, "resumeDumps", 0},
   };
   for (const ElementCase &c : cases) {
      SalvorConfigReset();
      EXPECT_EQ(ReadValues(c.xml), c.result) << c.xml;
      EXPECT_EQ(Setting(c.setting), c.expected) << c.xml;
   }
}

TEST_F(ConfigFile, PathsAreProbedCreatedAndStored)
{
   std::string data = dir / "a/b/data";
   std::string logs = dir / "logs";
   EXPECT_EQ(ReadValues("<defaultDataPath>" + data + "</defaultDataPath><defaultLogPath>" + logs +
                        "</defaultLogPath>"), 0);
   EXPECT_STREQ(SalvorConfig.dataDir, data.c_str());
   EXPECT_EQ(std::string(SalvorConfig.logFile), logs + testutil::CollectorPath("/salvor.log"));
   EXPECT_TRUE(std::filesystem::is_directory(data));
   EXPECT_FALSE(std::filesystem::exists(data + "/foo")) << "the probe file is removed";

   // A second one replaces the first; both are probed.
   std::string other = dir / "other";
   EXPECT_EQ(ReadValues("<defaultDataPath>" + data + "</defaultDataPath><defaultDataPath>" +
                        other + "</defaultDataPath>"), 0);
   EXPECT_STREQ(SalvorConfig.dataDir, other.c_str());
   EXPECT_TRUE(std::filesystem::is_directory(other));
}

TEST_F(ConfigFile, FailureStopsTheWalkButKeepsEarlierValues)
{
   EXPECT_EQ(ReadValues("<maxSize>5</maxSize><level>-1</level><maxSize>7</maxSize>"), -1);
   EXPECT_EQ(SalvorConfig.maxSize, 5);
}

TEST_F(ConfigFile, ProbeRefusesAStaleProbeFileAndUnwritableDirectories)
{
   std::string data = dir / "data";
   std::filesystem::create_directories(data);
   testutil::WriteFile(data + "/foo", "stale");
   EXPECT_NE(SalvorWin32ProbeDirectory(data.c_str()), 0);
   EXPECT_EQ(testutil::ReadFile(data + "/foo"), "stale") << "the probe never overwrites";

   std::filesystem::remove(data + "/foo");
   EXPECT_EQ(SalvorWin32ProbeDirectory(data.c_str()), 0);
   PlatFault_Inject(PLAT_OPEN, EROFS);
   EXPECT_EQ(SalvorWin32ProbeDirectory(data.c_str()), EROFS);
   PlatFault_Inject(PLAT_MKDIR, EACCES, 0, -1);
   EXPECT_NE(SalvorWin32ProbeDirectory((dir / "x/y").c_str()), 0);
}

TEST_F(ConfigFile, OverlongPathIsRefusedNotCut)
{
   std::string deep = dir.Path();
   while (deep.size() < 1100) {
      deep += "/ddddddddddddddddddddddddddddddddddddddddddddddddddd";
   }
   EXPECT_NE(ReadValues("<defaultDataPath>" + deep + "</defaultDataPath>"), 0);
   EXPECT_STREQ(SalvorConfig.dataDir, "");
}

// Where the collector listens and whom it hears: repeatable elements,
// each value checked as it is read.
TEST_F(ConfigFile, ListenAddressesAndAllowedNetworksAreCollectedInOrder)
{
   EXPECT_EQ(ReadValues("<defaultValues><port>7000</port></defaultValues>"), 0);
   EXPECT_EQ(SalvorNetConfig.listenCount, 0) << "absent: every IPv4 address, as before";
   EXPECT_EQ(SalvorNetConfig.allowCount, 0) << "absent: every host";

   SalvorConfigReset();
   EXPECT_EQ(ReadValues("<listenAddress> 127.0.0.2 </listenAddress>"
                        "<listenAddresses>::1</listenAddresses>"
                        "<allowFrom>10.0.0.0/8</allowFrom><allowFromHost>::1</allowFromHost>"),
             0);
   ASSERT_EQ(SalvorNetConfig.listenCount, 2);
   EXPECT_EQ(SalvorNetConfig.listen[0], NetIp(0x7F000002u));
   EXPECT_FALSE(SalvorNetConfig.listen[1].IsV4());
   ASSERT_EQ(SalvorNetConfig.allowCount, 2);
   EXPECT_EQ(SalvorNetConfig.allow[0].prefix, 96 + 8);
   EXPECT_EQ(SalvorNetConfig.allow[1].prefix, 128);

   SalvorConfigReset();
   EXPECT_EQ(SalvorNetConfig.listenCount, 0) << "a reset forgets them";
   EXPECT_EQ(SalvorNetConfig.allowCount, 0);
}

// A link-local address is bound on its interface: it needs its zone, and
// no other address takes one.
TEST_F(ConfigFile, LinkLocalListenAddressTakesItsZone)
{
   EXPECT_EQ(ReadValues("<listenAddress>fe80::1%eth0</listenAddress>"
                        "<listenAddress>fe80::1%3</listenAddress><listenAddress>::1</listenAddress>"),
             0);
   ASSERT_EQ(SalvorNetConfig.listenCount, 3);
   NetIp linkLocal;
   ASSERT_TRUE(Net_ParseIp("fe80::1", &linkLocal));
   EXPECT_EQ(SalvorNetConfig.listen[0], linkLocal);
   EXPECT_STREQ(SalvorNetConfig.listenZone[0], "eth0");
   EXPECT_STREQ(SalvorNetConfig.listenZone[1], "3") << "the same address on another interface";
   EXPECT_STREQ(SalvorNetConfig.listenZone[2], "");
   for (const char *bad : {"<listenAddress>fe80::1</listenAddress>",
                           "<listenAddress>fe80::1%</listenAddress>",
                           "<listenAddress>2001:db8::1%eth0</listenAddress>",
                           "<listenAddress>127.0.0.1%lo</listenAddress>",
                           "<listenAddress>fe80::1%eth0</listenAddress>"
                           "<listenAddress>fe80::1%eth0</listenAddress>"}) {
      SalvorConfigReset();
      EXPECT_EQ(ReadValues(bad), -1) << bad;
   }
}

TEST_F(ConfigFile, MalformedListenAddressOrNetworkRefusesTheFile)
{
   for (const char *bad : {"<listenAddress>localhost</listenAddress>",
                           "<listenAddress></listenAddress>",
                           "<listenAddress>[::1]</listenAddress>",
                           "<listenAddress>::1</listenAddress><listenAddress>::1</listenAddress>",
                           "<allowFrom>10.0.0.0/33</allowFrom>",
                           "<allowFrom>10.0.0.1/8</allowFrom>",
                           "<allowFrom>any</allowFrom>",
                           "<allowFrom></allowFrom>"}) {
      SalvorConfigReset();
      EXPECT_EQ(ReadValues(bad), -1) << bad;
   }
   SalvorConfigReset();
   std::string many;
   for (int i = 0; i <= SALVOR_MAX_LISTEN; i++) {
      many += "<listenAddress>127.0.0." + std::to_string(i + 1) + "</listenAddress>";
   }
   EXPECT_EQ(ReadValues(many), -1) << "more addresses than the loop waits on";

   SalvorConfigReset();
   std::string networks;
   for (int i = 0; i < SALVOR_MAX_ALLOW; i++) {
      networks += "<allowFrom>10.0." + std::to_string(i) + ".0/24</allowFrom>";
   }
   EXPECT_EQ(ReadValues(networks), 0);
   EXPECT_EQ(SalvorNetConfig.allowCount, SALVOR_MAX_ALLOW);
   SalvorConfigReset();
   EXPECT_EQ(ReadValues(networks + "<allowFrom>10.1.0.0/16</allowFrom>"), -1);
}

// The sealed mode's elements: the keys file's path is only kept here (it
// is read when the receive path starts), and the plain senders' networks
// are a list of their own, not the allow list.
TEST_F(ConfigFile, KeysFileAndPlainSendersAreKeptApartFromTheAllowList)
{
   EXPECT_EQ(ReadValues("<defaultValues><port>7000</port></defaultValues>"), 0);
   EXPECT_STREQ(SalvorNetConfig.keysFile, "") << "absent: no sealed mode";
   EXPECT_EQ(SalvorNetConfig.allowPlainCount, 0);

   SalvorConfigReset();
   EXPECT_EQ(ReadValues("<keysFile>/etc/salvor/keys</keysFile>"
                        "<allowFrom>10.0.0.0/8</allowFrom>"
                        "<allowPlainFrom>10.1.0.0/16</allowPlainFrom>"
                        "<allowPlainFrom>::1</allowPlainFrom>"),
             0);
   EXPECT_STREQ(SalvorNetConfig.keysFile, "/etc/salvor/keys");
   ASSERT_EQ(SalvorNetConfig.allowCount, 1);
   ASSERT_EQ(SalvorNetConfig.allowPlainCount, 2);
   EXPECT_EQ(SalvorNetConfig.allowPlain[0].prefix, 96 + 16);
   EXPECT_EQ(SalvorNetConfig.allowPlain[1].prefix, 128);

   SalvorConfigReset();
   EXPECT_STREQ(SalvorNetConfig.keysFile, "") << "a reset forgets them";
   EXPECT_EQ(SalvorNetConfig.allowPlainCount, 0);
   EXPECT_EQ(ReadValues("<keysFile/>"), -1);
   EXPECT_EQ(ReadValues("<allowPlainFrom>10.0.0.1/8</allowPlainFrom>"), -1);
}

// The start-up trace, which the console copies in debug mode: every line
// that a value taken or refused writes, word for word.
TEST_F(ConfigFile, TraceSaysWhatEachElementDid)
{
   std::string data = dir / "data";
   std::string logs = dir / "logs";
   std::string hook = dir / (TEST_ON_WINDOWS ? "hook.cmd" : "hook");
   testutil::WriteFile(hook, TEST_ON_WINDOWS ? "@exit /b 0\r\n" : "#!/bin/sh\n");
   std::filesystem::permissions(hook, std::filesystem::perms::owner_all);
   std::string tooLong(SALVOR_ZONE_SIZE, '1');
   const std::pair<std::string, std::string> cases[] = {
      {"<defaultValues><port>7000</port><level>3</level><maxSize>9</maxSize></defaultValues>"
       "<defaultDataPath>" + data + "</defaultDataPath><defaultLogPath>" + logs +
          "</defaultLogPath>",
       "Port will be : 7000\nLog level will be: 3\nData directory limit is 9\n"
       "output dir will be: " + data + "\nLog file will be: " + logs +
          testutil::CollectorPath("/salvor.log") + "\n"},
      {"<listenAddress> 127.0.0.2 </listenAddress><listenAddress>fe80::1%eth0</listenAddress>"
       "<allowFrom>10.0.0.0/8</allowFrom>",
       "Listen address will be: 127.0.0.2\nListen address will be: fe80::1%eth0\n"
       "Datagrams will be accepted from: 10.0.0.0/8\n"},
      {"<dumpHook>" + hook + "</dumpHook><hookTimeout>20</hookTimeout><keepFreeMiB>0"
       "</keepFreeMiB><keepDays>7</keepDays><metricsFile>/m/salvor.prom</metricsFile>",
       "The dump hook will be: " + hook + "\nhookTimeout will be: 20\nkeepDays will be: 7\n"
       "The metrics file will be: /m/salvor.prom\n"},
      {"<keysFile>/k/keys</keysFile><allowPlainFrom>10.2.0.0/16</allowPlainFrom>",
       "The keys file will be: /k/keys\nPlain datagrams will be accepted from: 10.2.0.0/16\n"},
      {"<defaultValues><port>80</port></defaultValues>",
       "Port will be : 80\nSelected port is in reserved range. \n"},
      {"<defaultValues><port>0</port></defaultValues>",
       "Port will be : 0\nAn invalid port was specified. \n"},
      {"<level>-1</level>", "Log level will be: -1\n"},
      {"<maxSize>-1</maxSize>", "Data directory limit is -1\n"},
      {"<keepDaysOld>0</keepDaysOld>",
       "The element keepDaysOld needs a whole number from 1 to 100000, not \"0\".\n"},
      {"<defaultDataPath/>", "The element defaultDataPath names no directory.\n"},
      {"<metricsFile/>", "The element metricsFile names no file.\n"},
      {"<dumpHook> " + hook + "</dumpHook>",
       "The dump hook \" " + hook + "\" begins or ends with white space, which would be taken "
       "as part of its name.\n"},
      {"<allowFrom>" + tooLong + "</allowFrom>",
       "The value of allowFrom is too long: " + tooLong + "\n"},
      {"<listenAddress>::1</listenAddress><listenAddress>::1</listenAddress>",
       "Listen address will be: ::1\nThe listen address ::1 is given twice.\n"},
   };
   for (const auto &[xml, trace] : cases) {
      SalvorConfigReset();
      SalvorConfig.debugMode = true;
      ::testing::internal::CaptureStderr();
      ReadValues(xml);
      EXPECT_EQ(::testing::internal::GetCapturedStderr(), trace) << xml;
   }
   SalvorConfigReset();
}

TEST(InitLog, WritesNothingOutsideDebugMode)
{
   SalvorConfigReset();
   SalvorWin32InitLog("not written %d\n", 1);
   EXPECT_FALSE(SalvorConfig.initLogPathSet);
}

TEST(InitLog, DebugModeAppendsToAnOwnerOnlyDirectory)
{
   SalvorConfigReset();
   SalvorConfig.debugMode = true;
   std::string marker = "init log line " + std::to_string(getpid());
   SalvorWin32InitLog("%s\n", marker.c_str());
   ASSERT_TRUE(SalvorConfig.initLogPathSet);
   std::string path = SalvorConfig.initLogPath;
   EXPECT_NE(path.find(testutil::CollectorPath("/quillon-")), std::string::npos);
   EXPECT_TRUE(path.ends_with(testutil::CollectorPath("/salvor_init.log"))) << path;
   EXPECT_NE(testutil::ReadFile(path).find(marker + testutil::TEXT_LINE_END), std::string::npos);
   // Windows keeps others out by the directory's ACL, which the file
   // library's own tests look at.
   if (!TEST_ON_WINDOWS) {
      struct stat st;
      ASSERT_EQ(stat(std::filesystem::path(path).parent_path().string().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 077, 0u);
   }
   SalvorConfigReset();
}

TEST(InitLog, OverlongPathKeepsToTheConsole)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "Windows gives no temporary path longer than MAX_PATH, far below the "
                      "init log's path size";
   }
   // A temporary directory so deep that the init log's path does not fit.
   // The collector runs as a process of its own: this process's file
   // library remembers the safe directory that earlier tests were given.
   testutil::TempDir base;
   std::string deep = base.Path();
   while (deep.size() < SALVOR_PATH_SIZE - 20) {
      deep += "/" + std::string(60, 'd');
   }
   std::filesystem::create_directories(deep);
   testutil::RunOptions options;
   options.env = {"TMPDIR=" + deep};
   testutil::RunResult run =
      testutil::Run({SALVOR_BINARY, "debug", "-s", base / "missing.xml"}, options);
   EXPECT_NE(run.exit.Code(), 0) << "the configuration is missing";
   EXPECT_NE(run.err.find("SalvorWin32_Main: Running in debug mode\n"), std::string::npos)
      << run.err;
   EXPECT_NE(run.err.find("too long"), std::string::npos) << run.err;
   // Nothing was written anywhere under the deep directory.
   for (const auto &entry : std::filesystem::recursive_directory_iterator(base.Path())) {
      EXPECT_FALSE(entry.is_regular_file()) << entry.path();
   }
}

TEST(Options, ShapeOfTheVector)
{
   SalvorConfigReset();
   testutil::TempDir dir;
   std::string cfg = dir / "c.xml";
   testutil::WriteFile(cfg, "<c><defaultDataPath>" + (dir / "data") + "</defaultDataPath></c>");
   auto parse = [](std::vector<std::string> words) {
      std::vector<char *> argv;
      for (auto &w : words) {
         argv.push_back(w.data());
      }
      return SalvorWin32ParseOptions((int)argv.size(), argv.data());
   };
   EXPECT_EQ(parse({"debug", "-s", cfg}), 0);
   EXPECT_TRUE(SalvorConfig.configLoaded);
   EXPECT_EQ(parse({"debug", "-s", cfg, "-dx"}), 0);
   EXPECT_EQ(parse({"debug", "-s", cfg, "extra"}), 13);
   EXPECT_EQ(parse({"debug", "-S", cfg}), 13);
   EXPECT_EQ(parse({"debug", "-s"}), 13);
   EXPECT_NE(parse({"debug", "-s", dir / "missing.xml"}), 0);

   // A refused configuration never reads as a vector of the wrong shape,
   // even when the reason is an access error (13).
   PlatFault_Inject(PLAT_OPEN, EACCES, 0, -1);
   EXPECT_EQ(parse({"debug", "-s", cfg}), SALVOR_OPTIONS_CONFIG_REFUSED);
   PlatFault_Clear();

   // Without a data directory the dumps would land at the root.
   testutil::WriteFile(cfg, "<c><defaultLogPath>" + (dir / "log") + "</defaultLogPath></c>");
   SalvorConfigReset();
   EXPECT_EQ(parse({"debug", "-s", cfg}), SALVOR_OPTIONS_CONFIG_REFUSED);
}

TEST_F(ConfigFile, EmptyPathElementsAreRefusedWithoutAProbeAtTheRoot)
{
   EXPECT_NE(ReadValues("<defaultDataPath></defaultDataPath>"), 0);
   EXPECT_NE(ReadValues("<defaultLogPath/>"), 0);
   EXPECT_STREQ(SalvorConfig.dataDir, "");
   EXPECT_STREQ(SalvorConfig.logFile, "");
}

}  // namespace
