// The configuration file and the start-up checks it runs.
#include <cerrno>
#include <climits>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorConfigFile.h"
#include "collector/startup/salvorNetConfig.h"
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

TEST_F(ConfigFile, PortCountsOnlyAfterDefaultValues)
{
   EXPECT_EQ(ReadValues("<port>7000</port>"), 0);
   EXPECT_EQ(SalvorConfig.port, 6500);

   SalvorConfigReset();
   EXPECT_EQ(ReadValues("<defaultValues><port>7000</port><port>7001</port></defaultValues>"), 0);
   EXPECT_EQ(SalvorConfig.port, 7000) << "one port per defaultValues";

   SalvorConfigReset();
   EXPECT_EQ(ReadValues("<defaultValues/><port>7002</port><defaultValues/><portNumber>7003</portNumber>"), 0);
   EXPECT_EQ(SalvorConfig.port, 7003) << "a sibling after the flag counts, names match by prefix";

   SalvorConfigReset();
   EXPECT_EQ(Read("<defaultValues><Port>7004</Port></defaultValues>"), 0);
   EXPECT_EQ(SalvorConfig.port, 6500) << "names are case-sensitive";
}

TEST_F(ConfigFile, PortRange)
{
   struct Case { const char *text; bool ok; int port; };
   for (Case c : {Case{"1023", false, 1023}, Case{"1024", true, 1024}, Case{"65535", true, 65535},
                  Case{"65536", false, 65536}, Case{"0", false, 0}, Case{"6500abc", true, 6500},
                  Case{" 7000", true, 7000}, Case{"none", false, 0}}) {
      SalvorConfigReset();
      int result = ReadValues(std::string("<defaultValues><port>") + c.text + "</port></defaultValues>");
      EXPECT_EQ(result == 0, c.ok) << c.text;
      EXPECT_EQ(SalvorConfig.port, c.port) << c.text;
   }
}

TEST_F(ConfigFile, LevelAndMaxSize)
{
   EXPECT_EQ(ReadValues("<level>0</level><maxSize>0</maxSize>"), 0);
   EXPECT_EQ(SalvorConfig.verbose, 0);
   EXPECT_EQ(SalvorConfig.maxSize, 0);
   EXPECT_EQ(ReadValues("<levels>3</levels><maxSizeGB>9</maxSizeGB><Level>0</Level>"), 0);
   EXPECT_EQ(SalvorConfig.verbose, 1);
   EXPECT_EQ(SalvorConfig.maxSize, 9);
   EXPECT_EQ(ReadValues("<level>-1</level>"), -1);
   EXPECT_EQ(ReadValues("<maxSize>-1</maxSize>"), -1);
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

TEST_F(ConfigFile, NumbersBeyondTheIntRangeSaturate)
{
   // Wrapped, 4294973796 would read as 6500.
   EXPECT_NE(ReadValues("<defaultValues><port>4294973796</port></defaultValues>"), 0);
   EXPECT_EQ(SalvorConfig.port, INT_MAX);
   SalvorConfigReset();
   EXPECT_NE(ReadValues("<maxSize>-99999999999</maxSize>"), 0);
   EXPECT_EQ(SalvorConfig.maxSize, INT_MIN);
   SalvorConfigReset();
   EXPECT_EQ(ReadValues("<maxSize>99999999999</maxSize><level>4294967296</level>"), 0);
   EXPECT_EQ(SalvorConfig.maxSize, INT_MAX);
   EXPECT_EQ(SalvorConfig.verbose, 1) << "a huge level is above 0, not 0";
   SalvorConfigReset();
   EXPECT_EQ(ReadValues("<defaultValues><port> +7000x</port></defaultValues><maxSize>x</maxSize>"), 0);
   EXPECT_EQ(SalvorConfig.port, 7000);
   EXPECT_EQ(SalvorConfig.maxSize, 0);
}

}  // namespace
