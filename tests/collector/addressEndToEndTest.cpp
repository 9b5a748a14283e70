// Where the collector listens and whom it hears, and one host that floods
// it, with the real collector and the real client (salvor-send) over
// loopback: IPv4 hosts on 127.0.0.x, an IPv6 host on ::1.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

#include "tests/collector/opsPlatform.h"
#include "tests/support/process.h"
#include "tests/support/testPlatform.h"
#include "tests/support/testUtil.h"

using testutil::Process;
using testutil::SeenFrom;
using testutil::TempDir;

#define SKIP_UNDER_WINE()                                                                 \
   if (TestUnderWine()) {                                                                 \
      GTEST_SKIP() << "hosts are told apart by their loopback addresses, and Wine sends " \
                      "every datagram from 127.0.0.1 (Windows keeps them apart)";          \
   }

namespace {

// A collector whose configuration carries `extra` elements, and whose log
// may have preferences of its own (a common config.ini).
class Collector {
public:
   Collector(const std::string &extra, const std::string &logPrefs = "")
      : port_(testutil::FreeUdpPort())
   {
      std::string config = dir_ / "salvor.xml";
      testutil::WriteFile(config, "<config><defaultValues><port>" + std::to_string(port_) +
                                     "</port></defaultValues><defaultDataPath>" + Data() +
                                     "</defaultDataPath><defaultLogPath>" + dir_.Path() +
                                     "/log</defaultLogPath>" + extra + "</config>");
      std::string prefs = dir_ / "appdata/Quillon/Quillon Orvex dump collector";
      std::filesystem::create_directories(prefs);
      testutil::WriteFile(prefs + "/config.ini", logPrefs);
      testutil::SpawnOptions options;
      options.out = testutil::Redirect::ToFile(dir_ / "console.txt");
      options.err = testutil::Redirect(testutil::Redirect::ToStdout);
      options.env = {"SALVOR_APPDATA_PATH=" + dir_.Path() + "/appdata",
                     "XDG_CONFIG_HOME=" + dir_.Path() + "/user"};
      process_ = std::make_unique<Process>(
         std::vector<std::string>{SALVOR_BINARY, "debug", "-s", config}, options);
   }
   ~Collector() { process_->Stop(std::chrono::seconds(1)); }

   std::string Server(const std::string &ip) const
   {
      return (ip.find(':') != std::string::npos ? "[" + ip + "]" : ip) + ":" +
             std::to_string(port_);
   }
   // Whether a status check through `server` (from `from`, if given) is answered.
   bool Answers(const std::string &ip, const std::string &from = "") const
   {
      return Send(ip, from, {"--status", "--timeout", "100", "--retries", "2"}) == 0;
   }
   bool WaitReady(const std::string &ip) const
   {
      for (int i = 0; i < 50 && process_->Running(); i++) {
         if (Answers(ip)) {
            return true;
         }
         std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      return false;
   }
   // salvor-send's exit status.
   int Send(const std::string &ip, const std::string &from,
            std::vector<std::string> args) const
   {
      std::vector<std::string> command = {SALVOR_SEND_PATH, "--server", Server(ip), "--quiet"};
      if (!from.empty()) {
         command.insert(command.end(), {"--from", from});
      }
      command.insert(command.end(), args.begin(), args.end());
      return testutil::Run(command).exit.Code();
   }
   std::string Data() const { return dir_.Path() + "/data"; }
   std::string Log() const { return testutil::ReadFile(dir_ / "log/salvor.log"); }
   std::string Journal() const { return testutil::ReadFile(dir_ / "log/dumps.jsonl"); }
   std::string Console() const { return testutil::ReadFile(dir_ / "console.txt"); }
   // The one file in a host's directory, or a note of how many there are.
   std::string OnlyDump(const std::string &hostDir, std::string *name = nullptr) const
   {
      auto files = testutil::ListFiles(Data() + "/" + hostDir);
      if (files.size() != 1) {
         return "<" + std::to_string(files.size()) + " files>";
      }
      // Only its name: the walk may give whole paths (Windows separates them its way).
      std::string file = std::filesystem::path(files[0]).filename().string();
      if (name != nullptr) {
         *name = file;
      }
      return testutil::ReadFile(Data() + "/" + hostDir + "/" + file);
   }

private:
   TempDir dir_;
   uint16_t port_;
   std::unique_ptr<Process> process_;
};

/*
 * The directory of a host's dumps below the data directory, "a/b/c/d";
 * with `absolute`, as the collector writes it after the data directory.
 */
std::string
HostPath(const std::string &ip, bool absolute = false)
{
   std::string dir = testutil::HostDumpDir("", ip);
   if (!absolute) {
      dir.erase(0, 1);
      std::replace(dir.begin(), dir.end(), '\\', '/');
   }
   return dir;
}

// What the runs of a hook wrote to their files "run.*" in `dir`, sorted.
std::string
HookRuns(const TempDir &dir)
{
   std::vector<std::string> lines;
   for (const auto &entry : std::filesystem::directory_iterator(dir.Path())) {
      if (entry.path().filename().string().starts_with("run.")) {
         lines.push_back(testutil::ReadFile(entry.path().string()));
         std::erase(lines.back(), '\r');  // a batch file's line end
      }
   }
   std::sort(lines.begin(), lines.end());
   std::string all;
   for (const std::string &line : lines) {
      all += line;
   }
   return all;
}

// A dump file of `size` random bytes.
std::string
DumpFile(const TempDir &dir, const std::string &name, size_t size, uint32_t seed)
{
   std::vector<uint8_t> bytes = testutil::RandomBytes(size, seed);
   std::string path = dir / name;
   testutil::WriteFile(path, std::string(bytes.begin(), bytes.end()));
   return path;
}

TEST(Listening, IPv6AndIPv4AddressesEachTakeTheirHostsDumps)
{
   Collector salvor("<listenAddress>::1</listenAddress><listenAddress>127.0.0.1</listenAddress>");
   ASSERT_TRUE(salvor.WaitReady("::1")) << salvor.Console();
   TempDir files;
   std::string six = DumpFile(files, "six", 300000, 6);
   std::string four = DumpFile(files, "four", 200000, 4);
   // The client's socket is connected: a reply from another address or
   // socket would not reach it.
   EXPECT_EQ(salvor.Send("::1", "", {six}), 0);
   EXPECT_EQ(salvor.Send("127.0.0.1", "127.0.0.2", {four}), 0);

   std::string name;
   EXPECT_TRUE(salvor.OnlyDump("0/0/0/0/0/0/0/1", &name) == testutil::ReadFile(six));
   EXPECT_TRUE(name.starts_with("zdump_0.0.0.0.0.0.0.1-")) << name;
   std::string four2 = SeenFrom("127.0.0.2");
   EXPECT_TRUE(salvor.OnlyDump(HostPath(four2)) == testutil::ReadFile(four));
   std::string log = salvor.Log();
   EXPECT_NE(log.find("I120: Listening on ::1 port "), std::string::npos) << log;
   EXPECT_NE(log.find("Dump finished successfully for ::1, slot 0, file:"), std::string::npos);
   EXPECT_NE(log.find("Dump finished successfully for " + four2 + ", slot 0"), std::string::npos);
   EXPECT_FALSE(salvor.Answers("127.0.0.5")) << "only the listed addresses are bound";
}

// The journal, the dump hook and the retention name an IPv6 host by its
// address, as the log does.
TEST(Listening, IPv6HostIsNamedByItsAddressInTheJournalHookAndRetention)
{
   TempDir files;
   // A file for each run: cmd.exe's ">>" fails while another run appends.
   std::string hook = testutil::WriteHook(
      files.Path(), "hook",
      "echo \"$SALVOR_OUTCOME $SALVOR_HOST\" > \"" + files.Path() +
         "/run.$SALVOR_OUTCOME.$(basename \"$SALVOR_FILE\")\"\n",
      "for %%F in (\"%SALVOR_FILE%\") do >\"" + files.Path() +
         "\\run.%SALVOR_OUTCOME%.%%~nxF\" echo %SALVOR_OUTCOME% %SALVOR_HOST%\n");
   Collector salvor("<listenAddress>::1</listenAddress><keepPerHost>1</keepPerHost>"
                    "<dumpHook>" + hook + "</dumpHook>");
   ASSERT_TRUE(salvor.WaitReady("::1")) << salvor.Console();
   std::string first = DumpFile(files, "first", 3000, 1);
   std::string second = DumpFile(files, "second", 4000, 2);
   EXPECT_EQ(salvor.Send("::1", "", {first}), 0);
   EXPECT_EQ(salvor.Send("::1", "", {second}), 0);
   // The retention runs within seconds of a dump's end; the hook after it.
   auto removedAndHooked = [&] {
      return salvor.Journal().find("\"outcome\":\"removed\"") != std::string::npos &&
             HookRuns(files).find("removed") != std::string::npos;
   };
   for (int i = 0; i < 300 && !removedAndHooked(); i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
   }
   std::string journal = salvor.Journal();
   std::string prefix = testutil::Quoted(salvor.Data() + HostPath("0.0.0.0.0.0.0.1", true) +
                                         testutil::DUMP_PATH_SEP + "zdump_0.0.0.0.0.0.0.1-");
   size_t lines = 0;
   for (size_t at = 0; (at = journal.find('\n', at)) != std::string::npos; at++) {
      lines++;
   }
   EXPECT_EQ(lines, 3u) << journal;
   size_t complete = journal.find("\"host\":\"::1\",\"file\":\"" + prefix);
   EXPECT_NE(complete, std::string::npos) << journal;
   EXPECT_NE(journal.find("\"host\":\"::1\",\"file\":\"" + prefix, complete + 1),
             std::string::npos)
      << journal;
   EXPECT_NE(journal.find("\"outcome\":\"removed\""), std::string::npos)
      << "an IPv6 host's dumps are kept per host too: " << journal;
   EXPECT_EQ(journal.find("\"host\":\"0."), std::string::npos) << journal;
   EXPECT_EQ(HookRuns(files), "complete ::1\ncomplete ::1\nremoved ::1\n");
   EXPECT_TRUE(salvor.OnlyDump("0/0/0/0/0/0/0/1") == testutil::ReadFile(second));
}

// "::" alone hears IPv4 hosts too, and each is exactly the IPv4 host it is.
TEST(Listening, EveryIPv6AddressAloneAlsoTakesIPv4HostsAsThemselves)
{
   Collector salvor("<listenAddress>::</listenAddress>");
   ASSERT_TRUE(salvor.WaitReady("::1")) << salvor.Console();
   TempDir files;
   std::string four = DumpFile(files, "four", 100000, 7);
   EXPECT_EQ(salvor.Send("127.0.0.1", "127.0.0.2", {four}), 0);
   std::string seen = SeenFrom("127.0.0.2");
   std::string name;
   EXPECT_TRUE(salvor.OnlyDump(HostPath(seen), &name) == testutil::ReadFile(four));
   EXPECT_TRUE(name.starts_with("zdump_" + seen + "-")) << name;
   std::string log = salvor.Log();
   EXPECT_NE(log.find("Dump finished successfully for " + seen + ", slot 0"), std::string::npos)
      << log;
   EXPECT_EQ(log.find("ffff"), std::string::npos) << "never shown as a mapped address";
}

TEST(Listening, AllowFromLeavesOtherHostsUnansweredAndCounted)
{
   SKIP_UNDER_WINE();
   Collector salvor("<listenAddress>::</listenAddress>"
                    "<allowFrom>127.0.0.2</allowFrom><allowFrom>::1/128</allowFrom>");
   ASSERT_TRUE(salvor.WaitReady("::1")) << salvor.Console();
   EXPECT_TRUE(salvor.Answers("127.0.0.1", "127.0.0.2"));
   TempDir files;
   EXPECT_NE(salvor.Send("127.0.0.1", "127.0.0.3",
                         {"--timeout", "100", "--retries", "2", DumpFile(files, "d", 5000, 1)}),
             0);
   EXPECT_FALSE(salvor.Answers("127.0.0.1", "127.0.0.3"));
   EXPECT_FALSE(std::filesystem::exists(salvor.Data() + "/127/0/0/3")) << "no file";
   std::string log = salvor.Log();
   EXPECT_NE(log.find("Refused 1 datagram(s) from 127.0.0.3: not an allowed address"),
             std::string::npos)
      << log;
   EXPECT_EQ(log.find("Refused 2 "), std::string::npos) << "once a minute per host";
}

// A link-local address is bound on the interface its zone names. Nothing
// is sent to it: only loopback addresses take the tests' traffic.
TEST(Listening, LinkLocalAddressIsBoundOnItsInterface)
{
   std::string address = testutil::LinkLocalAddress();
   if (address.empty()) {
      GTEST_SKIP() << "this machine has no link-local IPv6 address";
   }
   Collector salvor("<listenAddress>" + address + "</listenAddress><listenAddress>127.0.0.1"
                    "</listenAddress>");
   ASSERT_TRUE(salvor.WaitReady("127.0.0.1")) << salvor.Console();
   EXPECT_NE(salvor.Log().find("Listening on " + address + " port "), std::string::npos)
      << salvor.Log();
}

TEST(Listening, MalformedAllowFromStopsTheStartWithTheReason)
{
   Collector salvor("<allowFrom>10.0.0.1/8</allowFrom>");
   for (int i = 0; i < 100 && salvor.Console().find("allowFrom") == std::string::npos; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
   }
   EXPECT_NE(salvor.Console().find("An invalid allowFrom network was specified: \"10.0.0.1/8\": "
                                   "the address has bits set past its prefix length."),
             std::string::npos)
      << salvor.Console();
   EXPECT_FALSE(salvor.Answers("127.0.0.1"));
}

// A flood of bad datagrams from one host while another sends a whole
// dump: the flood costs the log a few lines a second, so the log's
// throttle (set low here) never holds the dump's lines back.
TEST(Listening, FloodFromOneHostLeavesOtherHostsLinesInTheLog)
{
   SKIP_UNDER_WINE();
   Collector salvor("", "log.throttleThreshold = \"20000\"\nlog.throttleBytesPerSec = \"2000\"\n");
   ASSERT_TRUE(salvor.WaitReady("127.0.0.1")) << salvor.Console();
   std::atomic<bool> done{false};
   std::atomic<size_t> sent{0};
   std::thread flood([&] {
      testutil::UdpPeer flooder("127.0.0.2");
      std::vector<uint8_t> junk(SALVOR_HEADER_SIZE, 0xEE);  // bad magic: two lines each
      uint16_t port = (uint16_t)std::stoi(salvor.Server("127.0.0.1").substr(10));
      // Paced at about 2,000 a second: hundreds of times what the log's
      // throttle lets through, yet the dump's own datagrams still find
      // room in the socket's buffer on a slow (sanitized) build.
      while (!done || sent < 2000) {
         flooder.SendTo(junk, port);
         if (++sent % 20 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
         }
      }
   });
   // Far more than the log's threshold of lines has been asked for by now.
   while (sent < 2000) {
      std::this_thread::yield();
   }
   TempDir files;
   std::string dump = DumpFile(files, "dump", 2000000, 3);
   EXPECT_EQ(salvor.Send("127.0.0.1", "127.0.0.3", {dump}), 0);
   done = true;
   flood.join();

   EXPECT_TRUE(salvor.OnlyDump("127/0/0/3") == testutil::ReadFile(dump)) << "dump differs";
   std::string log = salvor.Log();
   EXPECT_NE(log.find("Opened new coredump file:"), std::string::npos) << log;
   // The flood's last quiet spell is reported at the first wake-up after it.
   std::this_thread::sleep_for(std::chrono::milliseconds(1100));
   EXPECT_TRUE(salvor.Answers("127.0.0.1"));
   log = salvor.Log();
   EXPECT_NE(log.find("Dump finished successfully for 127.0.0.3, slot 0"), std::string::npos);
   EXPECT_EQ(log.find("<<< Log Throttled >>>"), std::string::npos);
   EXPECT_NE(log.find("lines about 127.0.0.2\n"), std::string::npos);
}

}  // namespace
