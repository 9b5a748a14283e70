// The real collector, started as a process on a free port with a
// temporary configuration, driven over UDP from several loopback hosts.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <thread>

#include "lib/misc/platFault.h"
#include "tests/support/collectorProcess.h"
#include "tests/support/process.h"
#include "tests/support/testHost.h"
#include "tests/support/testPlatform.h"
#include "tests/support/testUtil.h"

using testutil::CollectorProcess;
using testutil::Encode;
using testutil::Host;
using testutil::MakeHeader;
using testutil::UdpPeer;

namespace {

// Wine sends every datagram from 127.0.0.1, so tests that play several
// hosts, or look for a host's own directory, hold on real stacks only.
#define SKIP_UNDER_WINE()                                                   \
   if (TestUnderWine())                                                     \
   GTEST_SKIP() << "Wine sends every datagram from 127.0.0.1"

// Sends `content` as one dump from `host`, with a window of outstanding
// data messages, each resent until its reply arrives, in the given order
// of chunk indexes (repeats allowed). Returns the done's status.
uint32_t
SendDump(Host &host, int64_t ts, const std::string &content, std::vector<size_t> order = {})
{
   salvorMsgHeader init = host.Call(MakeHeader(SALVOR_MSG_INIT, ts));
   if (init.status != hxk_success) {
      return init.status;
   }
   uint32_t slot = init.assignedDumpID;
   size_t chunks = (content.size() + SALVOR_MAX_PAYLOAD - 1) / SALVOR_MAX_PAYLOAD;
   if (order.empty()) {
      for (size_t i = 0; i < chunks; i++) {
         order.push_back(i);
      }
   }
   UdpPeer &peer = host.Peer();
   uint16_t port = host.CollectorPort();
   std::map<size_t, std::vector<uint8_t>> outstanding;  // by position in `order`
   size_t next = 0;
   while (next < order.size() || !outstanding.empty()) {
      while (outstanding.size() < 32 && next < order.size()) {
         size_t chunk = order[next];
         salvorMsgHeader hdr = MakeHeader(SALVOR_MSG_DATA, ts, slot);
         hdr.dataOffset = (uint32_t)(chunk * SALVOR_MAX_PAYLOAD);
         std::string piece = content.substr(chunk * SALVOR_MAX_PAYLOAD, SALVOR_MAX_PAYLOAD);
         hdr.dataLength = (uint32_t)piece.size();
         std::memcpy(hdr.reserved1 + 1, &next, 7);  // tells repeats of a chunk apart
         outstanding[next] = Encode(hdr, piece);
         peer.SendTo(outstanding[next], port);
         next++;
      }
      std::vector<uint8_t> got = peer.Receive(300);
      if (got.empty()) {
         for (auto &[pos, bytes] : outstanding) {
            peer.SendTo(bytes, port);
         }
         continue;
      }
      salvorMsgHeader reply;
      SalvorDecodeHeader(got.data(), &reply);
      size_t pos = 0;
      std::memcpy(&pos, reply.reserved1 + 1, 7);
      if (reply.type == SALVOR_MSG_DATA && outstanding.erase(pos) == 1) {
         EXPECT_EQ(reply.status, hxk_success);
      }
   }
   return host.Done(ts, slot);
}

std::string
RandomBytes(size_t n, uint32_t seed)
{
   std::vector<uint8_t> bytes = testutil::RandomBytes(n, seed);
   return std::string(bytes.begin(), bytes.end());
}

std::string
OnlyFile(const std::string &dir)
{
   auto files = testutil::ListFiles(dir);
   return files.size() == 1 ? testutil::ReadFile(dir + "/" + files[0]) : "<" + std::to_string(files.size()) + " files>";
}

TEST(EndToEnd, LargeDumpOutOfOrderWithRepeatsArrivesByteExact)
{
   SKIP_UNDER_WINE();
   CollectorProcess salvor(SALVOR_BINARY);
   ASSERT_TRUE(salvor.WaitReady()) << salvor.Console();
   std::string content = RandomBytes(32u << 20, 1);
   size_t chunks = (content.size() + SALVOR_MAX_PAYLOAD - 1) / SALVOR_MAX_PAYLOAD;
   std::vector<size_t> order;
   for (size_t i = 0; i < chunks; i++) {
      order.push_back(i);
      if (i % 7 == 0) {
         order.push_back(i);  // repeats
      }
   }
   std::shuffle(order.begin(), order.end(), std::mt19937(7));
   Host host("127.0.0.2", salvor.Port());
   EXPECT_EQ(SendDump(host, 1234, content, order), hxk_success);
   EXPECT_TRUE(OnlyFile(salvor.DataDir() + "/127/0/0/2") == content) << "dump differs";
   std::string log = salvor.Log();
   EXPECT_NE(log.find("| salvor| I120: Dump finished successfully for 127.0.0.2, slot 0"),
             std::string::npos)
      << log;
   EXPECT_NE(log.find("| salvor| I120: Log for "), std::string::npos) << "no banner";
}

TEST(EndToEnd, SeveralHostsAtOnceEachGetTheirOwnDirectory)
{
   SKIP_UNDER_WINE();
   CollectorProcess salvor(SALVOR_BINARY);
   ASSERT_TRUE(salvor.WaitReady()) << salvor.Console();
   const char *ips[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
   std::vector<std::thread> threads;
   std::vector<uint32_t> results(4);
   for (int i = 0; i < 4; i++) {
      threads.emplace_back([&, i] {
         Host host(ips[i], salvor.Port());
         results[i] = SendDump(host, 99, RandomBytes(1u << 20, 10 + i));
      });
   }
   for (auto &t : threads) {
      t.join();
   }
   for (int i = 0; i < 4; i++) {
      EXPECT_EQ(results[i], hxk_success);
      EXPECT_TRUE(OnlyFile(salvor.DataDir() + "/127/0/0/" + std::to_string(i + 2)) ==
                  RandomBytes(1u << 20, 10 + i)) << ips[i];
   }
}

TEST(EndToEnd, MisbehavingHostsDoNotDisturbTheCollector)
{
   SKIP_UNDER_WINE();
   CollectorProcess salvor(SALVOR_BINARY);
   ASSERT_TRUE(salvor.WaitReady()) << salvor.Console();
   Host good("127.0.0.2", salvor.Port());
   Host other("127.0.0.3", salvor.Port());
   salvorMsgHeader init = good.Call(MakeHeader(SALVOR_MSG_INIT, 5));
   ASSERT_EQ(init.status, hxk_success);

   // Empty, short, oversized and bad-magic datagrams: no reply, no harm.
   UdpPeer &raw = other.Peer();
   raw.SendTo({}, salvor.Port());
   raw.SendTo(std::vector<uint8_t>(20, 0xAB), salvor.Port());
   raw.SendTo(Encode(MakeHeader(SALVOR_MSG_DATA, 5, 0), std::string(1553, 'x')), salvor.Port());
   salvorMsgHeader bad = MakeHeader(SALVOR_MSG_STATUS_CHECK);
   bad.magic = 0;
   raw.SendTo(Encode(bad), salvor.Port());
   EXPECT_TRUE(raw.Receive(500).empty());

   // Messages aimed at somebody else's slot, or at nothing.
   EXPECT_EQ(other.Call(MakeHeader(SALVOR_MSG_DATA, 5, 0), "x").status, hxk_invalid_dump);
   EXPECT_EQ(good.Call(MakeHeader(SALVOR_MSG_DATA, 6, 0), "x").status, hxk_invalid_dump);
   EXPECT_EQ(good.Call(MakeHeader(SALVOR_MSG_DATA, 5, 4096), "x").status, hxk_invalid_dump);
   EXPECT_EQ(good.Call(MakeHeader(4)).status, hxk_unknown_type);

   // Repeated init and done.
   EXPECT_EQ(good.Call(MakeHeader(SALVOR_MSG_INIT, 5)).assignedDumpID, init.assignedDumpID);
   salvorMsgHeader data = MakeHeader(SALVOR_MSG_DATA, 5, init.assignedDumpID);
   data.dataLength = 4;
   EXPECT_EQ(good.Call(data, "dump").status, hxk_success);
   EXPECT_EQ(good.Call(MakeHeader(SALVOR_MSG_DONE, 5, init.assignedDumpID)).status, hxk_success);
   EXPECT_EQ(good.Call(MakeHeader(SALVOR_MSG_DONE, 5, init.assignedDumpID)).status, hxk_success);

   EXPECT_EQ(OnlyFile(salvor.DataDir() + "/127/0/0/2"), "dump");
   EXPECT_EQ(good.Call(MakeHeader(SALVOR_MSG_STATUS_CHECK)).status, hxk_success);
   EXPECT_TRUE(salvor.Running());
   std::string log = salvor.Log();
   EXPECT_NE(log.find("Empty datagram"), std::string::npos);
   EXPECT_NE(log.find("Datagram of 20 bytes is shorter than a header"), std::string::npos);
   EXPECT_NE(log.find("Datagram of 1601 bytes is longer than 1600"), std::string::npos);
   EXPECT_NE(log.find("Skipping bad packet."), std::string::npos);
}

// A flood from one host costs the log a few lines a second and a line per
// quiet spell, however fast it comes: it neither fills the disk nor trips
// the log's throttle, which would hold back every other host's lines.
TEST(EndToEnd, FloodFromOneHostCostsTheLogAFewLinesASecond)
{
   SKIP_UNDER_WINE();
   CollectorProcess salvor(SALVOR_BINARY);
   ASSERT_TRUE(salvor.WaitReady()) << salvor.Console();
   UdpPeer flooder("127.0.0.9");
   std::vector<uint8_t> junk(20, 0xEE);  // shorter than a header: one log line each
   auto start = std::chrono::steady_clock::now();
   size_t sent = 0;
   while (std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
      for (int i = 0; i < 100; i++) {
         flooder.SendTo(junk, salvor.Port());
      }
      sent += 100;
   }
   // Whatever the kernel kept has been handled once a status check is answered.
   Host probe("127.0.0.10", salvor.Port());
   EXPECT_EQ(probe.Call(MakeHeader(SALVOR_MSG_STATUS_CHECK)).status, hxk_success);
   double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
   // The last quiet spell ends within the next wake-up.
   std::this_thread::sleep_for(std::chrono::milliseconds(1100));
   EXPECT_EQ(probe.Call(MakeHeader(SALVOR_MSG_STATUS_CHECK)).status, hxk_success);

   std::string log = salvor.Log();
   size_t lines = 0;
   for (size_t at = 0; (at = log.find("ip:7f000009)Datagram of 20 bytes", at)) != std::string::npos;
        at++) {
      lines++;
   }
   EXPECT_LE(lines, (size_t)(10 * (seconds + 2))) << "after " << seconds << " s of flood";
   EXPECT_GE(lines, 10u);
   // Every datagram is accounted for: logged or counted in a quiet spell's line.
   size_t suppressed = 0;
   const std::string tag = "| salvor| I120: Suppressed ";
   for (size_t at = 0; (at = log.find(tag, at)) != std::string::npos; at++) {
      size_t end = log.find('\n', at);
      std::string line = log.substr(at + tag.size(), end - at - tag.size());
      EXPECT_TRUE(line.ends_with(" lines about 127.0.0.9")) << line;
      suppressed += std::stoul(line);
   }
   EXPECT_LE(lines + suppressed, sent);
   EXPECT_GT(suppressed, 0u);
   EXPECT_EQ(log.find("<<< Log Throttled >>>"), std::string::npos);
   EXPECT_TRUE(salvor.Running());
}

// A collector that dies in the middle of a dump leaves a file that still
// carries the mark of an unfinished dump; a finished one never does.
TEST(EndToEnd, CrashInTheMiddleOfADumpLeavesItMarkedUnfinished)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "the mark is a POSIX file mode";
   }
   CollectorProcess salvor(SALVOR_BINARY);
   ASSERT_TRUE(salvor.WaitReady()) << salvor.Console();
   Host finished("127.0.0.2", salvor.Port());
   ASSERT_EQ(SendDump(finished, 1, RandomBytes(5000, 2)), hxk_success);
   Host crashed("127.0.0.3", salvor.Port());
   salvorMsgHeader init = crashed.Call(MakeHeader(SALVOR_MSG_INIT, 2));
   ASSERT_EQ(init.status, hxk_success);
   salvorMsgHeader data = MakeHeader(SALVOR_MSG_DATA, 2, init.assignedDumpID);
   data.dataLength = 4;
   ASSERT_EQ(crashed.Call(data, "half").status, hxk_success);
   salvor.Kill();
   while (salvor.Running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
   }
   auto modeOf = [](const std::string &dir) {
      auto files = testutil::ListFiles(dir);
      struct stat st {};
      if (files.size() != 1 || stat((dir + "/" + files[0]).c_str(), &st) != 0) {
         return -1;
      }
      return (int)(st.st_mode & 0777);
   };
   EXPECT_EQ(modeOf(salvor.DataDir() + "/127/0/0/2"), 0440);
   int partial = modeOf(salvor.DataDir() + "/127/0/0/3");
   EXPECT_NE(partial, -1);
   EXPECT_NE(partial & 0200, 0) << "an unfinished dump must carry the owner's write bit";
}

TEST(EndToEnd, SlotLimitRefusesTheDumpTooMany)
{
   SKIP_UNDER_WINE();
   // Started under the usual soft limit of 1,024 open files, which the
   // collector raises: every slot can hold an open dump.
   CollectorProcess salvor(SALVOR_BINARY, {.openFilesSoft = 1024, .openFilesHard = 4096});
   ASSERT_TRUE(salvor.WaitReady()) << salvor.Console();
   // One host may open 256 dumps a minute: play eight.
   std::vector<std::unique_ptr<Host>> hosts;
   for (int h = 0; h < 8; h++) {
      hosts.push_back(std::make_unique<Host>(("127.0.1." + std::to_string(h + 1)).c_str(),
                                             salvor.Port()));
   }
   for (int i = 0; i < 1024; i++) {
      ASSERT_EQ(hosts[i % 8]->Call(MakeHeader(SALVOR_MSG_INIT, 1 + i)).status, hxk_success) << i;
   }
   EXPECT_EQ(hosts[0]->Call(MakeHeader(SALVOR_MSG_INIT, 5000)).status, hxk_limit_exceeded);
   salvorMsgHeader repeat = hosts[999 % 8]->Call(MakeHeader(SALVOR_MSG_INIT, 1000));
   EXPECT_EQ(repeat.status, hxk_success);
   EXPECT_EQ(repeat.assignedDumpID, 999u);
   EXPECT_EQ(hosts[0]->Call(MakeHeader(SALVOR_MSG_STATUS_CHECK)).status, hxk_success);
}

TEST(EndToEnd, ReceiveErrorsAHostCanCauseAreNotFatal)
{
   // The receive reports an earlier reply refused by its port (on Windows,
   // one whose time to live ran out, in Winsock's own code), then a signal.
   const int reset = TEST_ON_WINDOWS ? PlatFault_Win32Code(10052 /* WSAENETRESET */)
                                     : ECONNREFUSED;
   const std::string text = TEST_ON_WINDOWS ? "Network dropped connection on reset"
                                            : "Connection refused";
   CollectorProcess salvor(
      SALVOR_BINARY,
      {.env = {"SALVOR_PLATFORM_FAULTS=recvfrom:" + std::to_string(reset) +
               ":count=1;select:" + std::to_string(EINTR) + ":skip=1:count=1"}});
   ASSERT_TRUE(salvor.WaitReady()) << salvor.Console();
   Host host("127.0.0.8", salvor.Port());
   for (int i = 0; i < 3; i++) {
      EXPECT_EQ(host.Call(MakeHeader(SALVOR_MSG_STATUS_CHECK)).status, hxk_success);
   }
   EXPECT_TRUE(salvor.Running());
   EXPECT_NE(salvor.Log().find("Recvfrom error:" + text + ". Going on."), std::string::npos);
}

TEST(EndToEnd, OpenFileLimitThatCannotBeRaisedIsReported)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "Windows has no limit on open files to raise";
   }
   CollectorProcess salvor(SALVOR_BINARY, {.openFilesSoft = 256, .openFilesHard = 256});
   ASSERT_TRUE(salvor.WaitReady()) << salvor.Console();
   EXPECT_NE(salvor.Log().find("W110: The limit on open files is 256 and cannot be raised to "
                               "1088: fewer than 1024 dumps may be open at once."),
             std::string::npos)
      << salvor.Log();
}

TEST(EndToEnd, SocketFaultsEndTheCollector)
{
   // The collector's first receive fails as on a broken socket: it ends at
   // once, with no datagram needed.
   CollectorProcess salvor(SALVOR_BINARY,
                           {.env = {"SALVOR_PLATFORM_FAULTS=recvfrom:9:count=1"}});  // EBADF
   EXPECT_EQ(salvor.ExitCode(), 1);
   EXPECT_NE(salvor.Console().find("Recvfrom error:Bad file descriptor."), std::string::npos);
}

TEST(EndToEnd, DiskFullIsReportedToTheClient)
{
   // Every write of the collector fails as on a full disk.
   CollectorProcess salvor(SALVOR_BINARY,
                           {.env = {"SALVOR_PLATFORM_FAULTS=write:28:count=-1"}});
   ASSERT_TRUE(salvor.WaitReady()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   salvorMsgHeader init = host.Call(MakeHeader(SALVOR_MSG_INIT, 1));
   ASSERT_EQ(init.status, hxk_success);
   salvorMsgHeader data = MakeHeader(SALVOR_MSG_DATA, 1, init.assignedDumpID);
   data.dataLength = 3;
   EXPECT_EQ(host.Call(data, "abc").status, hxk_write_failed);
   EXPECT_TRUE(salvor.Running());
}

// The exit status of a run, -1 when a signal ended it. Its output and
// error output go to `console`, or to a pipe whose reader has gone when
// that is null.
int
RunToExit(const std::vector<std::string> &args, std::string *console, const std::string &env = "")
{
   testutil::RunOptions options;
   if (console == nullptr) {
      options.out = testutil::Redirect{testutil::Redirect::BrokenPipe};
   }
   options.err = testutil::Redirect{testutil::Redirect::ToStdout};
   if (!env.empty()) {
      options.env.push_back(env);
   }
   testutil::RunResult result = testutil::Run(args, options);
   if (console != nullptr) {
      *console = result.out;
   }
   return result.exit.Code();
}

TEST(EndToEnd, RefusedStartsEndWithAFailureStatusAndSayWhy)
{
   testutil::TempDir dir;
   std::string console;
   // 2: the command line has the wrong shape.
   EXPECT_EQ(RunToExit({SALVOR_BINARY, "debug"}, &console), 2);
   EXPECT_NE(console.find("Invalid argument: salvor debug -s <config.xml>"), std::string::npos);
   EXPECT_EQ(RunToExit({SALVOR_BINARY, "debug", "-S", dir / "missing.xml"}, &console), 2);
   EXPECT_EQ(console.find("Invalid argument"), std::string::npos) << "no second usage line";

   // 1: the configuration is refused.
   EXPECT_EQ(RunToExit({SALVOR_BINARY, "debug", "-s", dir / "missing.xml"}, &console), 1);
   EXPECT_NE(console.find("Could not read config file.."), std::string::npos);

   testutil::WriteFile(dir / "bad.xml", "<c><defaultValues><port>80</port></defaultValues></c>");
   EXPECT_EQ(RunToExit({SALVOR_BINARY, "debug", "-s", dir / "bad.xml"}, &console), 1);
   EXPECT_NE(console.find("Selected port is in reserved range."), std::string::npos);

   // An access error (13) is a refused configuration, not a wrong command line.
   testutil::WriteFile(dir / "denied.xml", "<c><defaultDataPath>" + (dir / "data") +
                                              "</defaultDataPath></c>");
   EXPECT_EQ(RunToExit({SALVOR_BINARY, "debug", "-s", dir / "denied.xml"}, &console,
                       "SALVOR_PLATFORM_FAULTS=open:13:count=-1"),
             1);
   EXPECT_NE(console.find("Error in configuration parameters (error = 13)"), std::string::npos)
      << console;
   EXPECT_EQ(console.find("Invalid argument"), std::string::npos);

   testutil::WriteFile(dir / "nodata.xml", "<c><defaultLogPath>" + (dir / "log") +
                                              "</defaultLogPath></c>");
   EXPECT_EQ(RunToExit({SALVOR_BINARY, "debug", "-s", dir / "nodata.xml"}, &console), 1);
   EXPECT_NE(console.find("No data directory is configured"), std::string::npos);

   // A console whose reader has gone does not end the collector by a signal.
   EXPECT_EQ(RunToExit({SALVOR_BINARY, "debug", "-s", dir / "missing.xml"}, nullptr), 1);

   // Without the service manager the service paths end at once with -1.
   EXPECT_EQ(RunToExit({SALVOR_BINARY}, &console), 255);
}

// Nothing ever writes to the pipe: a start that opens it waits for ever.
TEST(EndToEnd, ConfigurationThatIsNoRegularFileIsRefusedAtOnce)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "named pipes in the file system and /dev/zero are POSIX's";
   }
   testutil::TempDir dir;
   std::string fifo = dir / "fifo.xml";
   ASSERT_TRUE(testutil::MakeFifo(fifo));
   for (const std::string &path : {fifo, dir.Path(), std::string("/dev/zero")}) {
      std::string console = dir / "console.txt";
      testutil::SpawnOptions options;
      options.out = testutil::Redirect::ToFile(console);
      options.err = testutil::Redirect{testutil::Redirect::ToStdout};
      testutil::Process collector({SALVOR_BINARY, "debug", "-s", path}, options);
      std::optional<testutil::ExitInfo> exit = collector.WaitFor(std::chrono::seconds(30));
      ASSERT_TRUE(exit.has_value()) << path << " held the start";
      EXPECT_EQ(exit->Code(), 1) << path;
      EXPECT_NE(testutil::ReadFile(console).find("Could not read config file.. " + path),
                std::string::npos)
         << path;
   }
}

}  // namespace
