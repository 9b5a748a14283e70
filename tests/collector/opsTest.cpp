// The collector's operations features end to end: the real binary under a
// service manager played by the test (so that a stop is a clean one),
// dumps sent from loopback hosts, and the journal, the hook's view, the
// retention and the metrics file looked at on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/notifySocket.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/support/testHost.h"
#include "tests/support/testUtil.h"

using testutil::Encode;
using testutil::Host;
using testutil::MakeHeader;

namespace {

// The collector with extra configuration elements, as a service.
class Collector {
public:
   explicit Collector(const std::string &extra, const std::string &dir)
      : dir_(dir), notify_(dir + "/notify")
   {
      port_ = testutil::FreeUdpPort();
      std::string config = dir + "/salvor.xml";
      testutil::WriteFile(config, "<c><defaultValues><port>" + std::to_string(port_) +
                                     "</port></defaultValues><defaultDataPath>" + Data() +
                                     "</defaultDataPath><defaultLogPath>" + dir +
                                     "/log</defaultLogPath>" + extra + "</c>");
      testutil::SpawnOptions options;
      options.out = testutil::Redirect::ToFile(dir + "/console.txt");
      options.err = testutil::Redirect(testutil::Redirect::ToStdout);
      options.env = {"NOTIFY_SOCKET=" + notify_.Path(),
                     "SALVOR_START_PARAMETERS=-s " + config};
      process_ = std::make_unique<testutil::Process>(std::vector<std::string>{SALVOR_BINARY},
                                                     options);
   }
   ~Collector() { process_->Stop(std::chrono::seconds(5)); }

   bool Ready()
   {
      testutil::UdpPeer peer;
      salvorMsgHeader reply;
      for (int i = 0; i < 100 && process_->Running(); i++) {
         if (peer.Request(Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK)), port_, &reply, 100)) {
            return true;
         }
      }
      return false;
   }
   // A clean stop, as the service manager asks for one.
   int Stop()
   {
      kill(process_->Pid(), SIGTERM);
      auto exit = process_->WaitFor(std::chrono::seconds(20));
      return exit ? exit->Code() : -1;
   }
   uint16_t Port() const { return port_; }
   std::string Data() const { return dir_ + "/data"; }
   std::string Log() const { return testutil::ReadFile(dir_ + "/log/salvor.log"); }
   std::string Journal() const { return testutil::ReadFile(dir_ + "/log/dumps.jsonl"); }
   std::string Console() const { return testutil::ReadFile(dir_ + "/console.txt"); }

private:
   std::string dir_;
   testutil::NotifySocket notify_;  // its reports, which nobody reads
   uint16_t port_ = 0;
   std::unique_ptr<testutil::Process> process_;
};

// A whole dump of `chunks` chunks of 1,000 bytes, leaving out `skip`.
void
Dump(Host &host, int64_t ts, int chunks, int skip = -1)
{
   uint32_t slot = host.Init(ts);
   for (int i = 0; i < chunks; i++) {
      if (i != skip) {
         EXPECT_EQ(host.Data(ts, slot, (uint32_t)i * 1000, std::string(1000, (char)('a' + i))),
                   hxk_success);
      }
   }
   EXPECT_EQ(host.Done(ts, slot), hxk_success);
}

std::vector<std::string>
Lines(const std::string &text)
{
   std::vector<std::string> lines;
   std::istringstream in(text);
   for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
   }
   return lines;
}

// The journal line of a host, or "".
std::string
LineOf(const std::string &journal, const std::string &host)
{
   for (const std::string &line : Lines(journal)) {
      if (line.find("\"host\":\"" + host + "\"") != std::string::npos) {
         return line;
      }
   }
   return "";
}

// Waits until `probe` holds, for at most `limit`.
template <typename F>
bool
Eventually(F probe, std::chrono::seconds limit)
{
   auto until = std::chrono::steady_clock::now() + limit;
   while (!probe()) {
      if (std::chrono::steady_clock::now() > until) {
         return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
   }
   return true;
}

bool
Has(const std::string &text, const std::string &part)
{
   return text.find(part) != std::string::npos;
}

TEST(Journal, SaysHowEveryDumpEnded)
{
   testutil::TempDir dir;
   Collector salvor("", dir.Path());
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host whole("127.0.0.2", salvor.Port());
   Dump(whole, 11, 3);
   Host gappy("127.0.0.3", salvor.Port());
   Dump(gappy, 12, 4, 1);
   Host cut("127.0.0.4", salvor.Port());
   uint32_t slot = cut.Init(13);
   EXPECT_EQ(cut.Data(13, slot, 0, std::string(500, 'x')), hxk_success);
   EXPECT_EQ(cut.Data(13, slot, 0, std::string(500, 'x')), hxk_success);  // a repeat
   ASSERT_EQ(salvor.Stop(), 0);

   std::string journal = salvor.Journal();
   ASSERT_EQ(Lines(journal).size(), 3u) << journal;
   std::string line = LineOf(journal, "127.0.0.2");
   EXPECT_TRUE(Has(line, "\"outcome\":\"complete\"")) << line;
   EXPECT_TRUE(Has(line, "\"bytes\":3000,\"size\":3000,\"messages\":3,\"duplicates\":0,"
                         "\"holes\":[],\"holeBytes\":0")) << line;
   EXPECT_TRUE(Has(line, "\"file\":\"" + salvor.Data() + "/127/0/0/2/zdump_127.0.0.2-")) << line;
   EXPECT_TRUE(Has(line, "\"clientTimestamp\":11")) << line;
   EXPECT_EQ(line.rfind("{\"time\":\"2", 0), 0u) << line;

   line = LineOf(journal, "127.0.0.3");
   EXPECT_TRUE(Has(line, "\"outcome\":\"incomplete\"")) << line;
   EXPECT_TRUE(Has(line, "\"holes\":[[1000,1000]],\"holeBytes\":1000")) << line;
   EXPECT_TRUE(Has(line, "\"bytes\":3000,\"size\":4000")) << line;

   line = LineOf(journal, "127.0.0.4");
   EXPECT_TRUE(Has(line, "\"outcome\":\"stopped\"")) << line;
   EXPECT_TRUE(Has(line, "\"messages\":2,\"duplicates\":1")) << line;
   EXPECT_TRUE(Has(line, "\"file\":")) << "the file stays: " << line;
}

// The idle timeout is a minute: this test takes that long.
TEST(Journal, ExpiredDumpIsJournaledWithItsFileGone)
{
   testutil::TempDir dir;
   Collector salvor("", dir.Path());
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.5", salvor.Port());
   uint32_t slot = host.Init(21);
   EXPECT_EQ(host.Data(21, slot, 2000, std::string(100, 'y')), hxk_success);
   ASSERT_TRUE(Eventually([&] { return !salvor.Journal().empty(); }, std::chrono::seconds(90)));
   std::string line = LineOf(salvor.Journal(), "127.0.0.5");
   EXPECT_TRUE(Has(line, "\"outcome\":\"expired\"")) << line;
   EXPECT_FALSE(Has(line, "\"file\":")) << line;
   EXPECT_TRUE(Has(line, "\"removedFile\":")) << line;
   EXPECT_TRUE(Has(line, "\"holes\":[[0,2000]],\"holeBytes\":2000")) << line;
   EXPECT_TRUE(testutil::ListFiles(salvor.Data()).empty());
}

TEST(Hook, SeesTheDumpInItsEnvironmentAndItsEndIsLogged)
{
   testutil::TempDir dir;
   std::string hook = dir / "hook.sh";
   testutil::WriteFile(hook, "#!/bin/sh\nenv | grep '^SALVOR_' > \"" + dir.Path() +
                                "/env.$SALVOR_HOST\"\necho \"no luck with $SALVOR_OUTCOME\" >&2\n"
                                "echo second line >&2\nexit 3\n");
   chmod(hook.c_str(), 0755);
   Collector salvor("<dumpHook>" + hook + "</dumpHook>", dir.Path());
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   Dump(host, 31, 2);
   std::string envFile = dir / "env.127.0.0.2";
   ASSERT_TRUE(Eventually([&] { return Has(testutil::ReadFile(envFile), "SALVOR_RECORD"); },
                          std::chrono::seconds(20)));
   std::string env = testutil::ReadFile(envFile);
   std::string line = LineOf(salvor.Journal(), "127.0.0.2");
   EXPECT_TRUE(Has(env, "SALVOR_OUTCOME=complete\n")) << env;
   EXPECT_TRUE(Has(env, "SALVOR_HOST=127.0.0.2\n")) << env;
   EXPECT_TRUE(Has(env, "SALVOR_FILE=" + salvor.Data() + "/127/0/0/2/zdump_")) << env;
   EXPECT_TRUE(Has(env, "SALVOR_BYTES=2000\nSALVOR_SIZE=2000\n") ||
               (Has(env, "SALVOR_BYTES=2000\n") && Has(env, "SALVOR_SIZE=2000\n"))) << env;
   EXPECT_TRUE(Has(env, "SALVOR_HOLE_BYTES=0\n")) << env;
   EXPECT_TRUE(Has(env, "SALVOR_REASON=done\n")) << env;
   EXPECT_TRUE(Has(env, "SALVOR_STARTED=2")) << env;
   EXPECT_TRUE(Has(env, "SALVOR_ENDED=2")) << env;
   EXPECT_TRUE(Has(env, "SALVOR_RECORD=" + line + "\n")) << env << "\n" << line;
   ASSERT_TRUE(Eventually([&] { return Has(salvor.Log(), "exited with status 3"); },
                          std::chrono::seconds(20)));
   EXPECT_TRUE(Has(salvor.Log(), "exited with status 3: no luck with complete\n")) << salvor.Log();
}

TEST(Hook, ThatRunsTooLongIsKilled)
{
   testutil::TempDir dir;
   std::string hook = dir / "hook.sh";
   testutil::WriteFile(hook, "#!/bin/sh\necho started >&2\nexec sleep 300\n");
   chmod(hook.c_str(), 0755);
   Collector salvor("<dumpHook>" + hook + "</dumpHook><hookTimeout>1</hookTimeout>",
                    dir.Path());
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   Dump(host, 41, 1);
   EXPECT_TRUE(Eventually([&] { return Has(salvor.Log(), "was killed after 1 seconds: started"); },
                          std::chrono::seconds(30)))
      << salvor.Log();
}

TEST(Retention, KeepsTheNewestDumpsOfEachHostAndNothingElse)
{
   testutil::TempDir dir;
   std::string data = dir / "data";
   // Things of others in a host's directory, and an empty host directory.
   std::filesystem::create_directories(data + "/127/0/0/2");
   std::filesystem::create_directories(data + "/10/1/2/3");
   testutil::WriteFile(data + "/127/0/0/2/notes.txt", "mine");
   testutil::WriteFile(dir / "elsewhere", "not a dump");
   chmod((dir / "elsewhere").c_str(), 0444);
   symlink((dir / "elsewhere").c_str(), (data + "/127/0/0/2/zdump_link").c_str());
   Collector salvor("<keepPerHost>2</keepPerHost>", dir.Path());
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   for (int i = 0; i < 3; i++) {
      Dump(host, 51 + i, 1);
   }
   Host other("127.0.0.3", salvor.Port());
   Dump(other, 61, 1);
   ASSERT_TRUE(Eventually([&] { return Has(salvor.Journal(), "\"outcome\":\"removed\""); },
                          std::chrono::seconds(30)))
      << salvor.Log();
   std::vector<std::string> files = testutil::ListFiles(data);
   // Two dumps, the notes, the link and the other host's dump.
   EXPECT_EQ(files.size(), 5u) << ::testing::PrintToString(files);
   EXPECT_TRUE(Has(testutil::ReadFile(data + "/127/0/0/2/notes.txt"), "mine"));
   EXPECT_TRUE(std::filesystem::is_symlink(data + "/127/0/0/2/zdump_link"));
   EXPECT_EQ(testutil::ReadFile(dir / "elsewhere"), "not a dump");
   EXPECT_FALSE(std::filesystem::exists(data + "/10")) << "the empty host directory stays";
   std::string removed;
   for (const std::string &line : Lines(salvor.Journal())) {
      if (Has(line, "\"outcome\":\"removed\"")) {
         removed += line + "\n";
      }
   }
   // The oldest of the three, the one that carried 'a' first (ts 51).
   EXPECT_EQ(Lines(removed).size(), 1u) << removed;
   EXPECT_TRUE(Has(removed, "\"host\":\"127.0.0.2\"")) << removed;
   EXPECT_TRUE(Has(removed, "zdump_127.0.0.2-")) << removed;
   EXPECT_TRUE(Has(removed, "-0\"")) << "the first dump goes: " << removed;
   EXPECT_TRUE(Has(salvor.Log(), "Removed dump ")) << salvor.Log();
}

TEST(DiskSpace, InitThatWouldLeaveTooLittleFreeIsRefused)
{
   testutil::TempDir dir;
   Collector salvor("<keepFreeMiB>1000000000000</keepFreeMiB>", dir.Path());
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   EXPECT_EQ(host.Call(MakeHeader(SALVOR_MSG_INIT, 71)).status, hxk_limit_exceeded);
   EXPECT_TRUE(Has(salvor.Log(), "Refusing a new dump from 127.0.0.2")) << salvor.Log();
   EXPECT_TRUE(testutil::ListFiles(salvor.Data()).empty());
}

TEST(Metrics, FileHasEveryFamilyAndEndsWithEof)
{
   testutil::TempDir dir;
   std::string metrics = dir / "salvor.prom";
   Collector salvor("<metricsFile>" + metrics + "</metricsFile>", dir.Path());
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   Dump(host, 81, 2);
   uint32_t slot = host.Init(82);
   EXPECT_EQ(host.Data(82, slot, 0, std::string(700, 'z')), hxk_success);
   // The dump in progress shows in the next periodic write.
   ASSERT_TRUE(Eventually([&] { return Has(testutil::ReadFile(metrics), "} 700\n"); },
                          std::chrono::seconds(40)));
   std::string text = testutil::ReadFile(metrics);
   EXPECT_TRUE(Has(text, "salvor_dumps_in_progress 1\n")) << text;
   EXPECT_TRUE(Has(text, "salvor_dump_bytes{host=\"127.0.0.2\",file=\"" + salvor.Data() +
                             "/127/0/0/2/zdump_127.0.0.2-")) << text;
   ASSERT_EQ(salvor.Stop(), 0);
   text = testutil::ReadFile(metrics);
   ASSERT_GE(text.size(), 6u);
   EXPECT_EQ(text.substr(text.size() - 6), "# EOF\n") << text;
   for (const char *family : {"salvor_dumps_in_progress", "salvor_dumps", "salvor_dumps_refused",
                              "salvor_received_bytes", "salvor_datagrams",
                              "salvor_datagrams_dropped", "salvor_data_free_bytes",
                              "salvor_log_throttled", "salvor_hook_runs",
                              "salvor_start_time_seconds", "salvor_dump_bytes"}) {
      EXPECT_TRUE(Has(text, std::string("# TYPE ") + family + " ")) << family;
   }
   EXPECT_TRUE(Has(text, "salvor_dumps_total{outcome=\"complete\"} 1\n")) << text;
   EXPECT_TRUE(Has(text, "salvor_dumps_total{outcome=\"stopped\"} 1\n")) << text;
   EXPECT_TRUE(Has(text, "salvor_received_bytes_total 2700\n")) << text;
   EXPECT_TRUE(Has(text, "salvor_datagrams_total{type=\"init\"} 2\n")) << text;
   EXPECT_TRUE(Has(text, "salvor_dumps_in_progress 0\n")) << text;
   EXPECT_FALSE(std::filesystem::exists(metrics + ".tmp"));
   // Every sample line is a name, optional labels and a number.
   for (const std::string &line : Lines(text)) {
      if (line.empty() || line[0] == '#') {
         continue;
      }
      size_t space = line.rfind(' ');
      ASSERT_NE(space, std::string::npos) << line;
      EXPECT_EQ(line.find_first_not_of("0123456789", space + 1), std::string::npos) << line;
   }
}

// Datagrams from hosts outside allowFrom, and those whose lines the
// per-host limit held back, are all counted.
TEST(Metrics, RefusedAndQuietedDatagramsAreAllCounted)
{
   testutil::TempDir dir;
   std::string metrics = dir / "salvor.prom";
   Collector salvor("<metricsFile>" + metrics + "</metricsFile><allowFrom>127.0.0.1</allowFrom>"
                    "<allowFrom>127.0.0.2</allowFrom>", dir.Path());
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   testutil::UdpPeer outsider("127.0.0.3");
   for (int i = 0; i < 5; i++) {
      outsider.SendTo(Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK)), salvor.Port());
   }
   testutil::UdpPeer garbler("127.0.0.2");
   std::vector<uint8_t> junk(SALVOR_HEADER_SIZE, 0xEE);
   for (int i = 0; i < 60; i++) {
      garbler.SendTo(junk, salvor.Port());
   }
   // Answered once everything sent before it has been handled.
   Host("127.0.0.2", salvor.Port()).Call(MakeHeader(SALVOR_MSG_STATUS_CHECK));
   EXPECT_TRUE(outsider.Receive(100).empty()) << "a refused host gets no reply";
   ASSERT_EQ(salvor.Stop(), 0);
   std::string text = testutil::ReadFile(metrics);
   EXPECT_TRUE(Has(text, "salvor_datagrams_dropped_total{reason=\"notAllowed\"} 5\n")) << text;
   EXPECT_TRUE(Has(text, "salvor_datagrams_dropped_total{reason=\"badMagic\"} 60\n")) << text;
   std::string log = salvor.Log();
   size_t badMagicLines = 0;
   for (size_t at = 0; (at = log.find("Bad magic:", at)) != std::string::npos; at++) {
      badMagicLines++;
   }
   EXPECT_LT(badMagicLines, 60u) << "the per-host limit held lines back";
}

TEST(Version, IsPrintedAndMatchesThePackage)
{
   testutil::RunResult run = testutil::Run({SALVOR_BINARY, "--version"});
   EXPECT_EQ(run.exit.Code(), 0);
   EXPECT_EQ(run.out.rfind(std::string("salvor ") + SALVOR_PROJECT_VERSION, 0), 0u) << run.out;
   std::string changelog = testutil::ReadFile(SALVOR_SOURCE_DIR "/packaging/changelog");
   EXPECT_EQ(changelog.rfind(std::string("salvor (") + SALVOR_PROJECT_VERSION + ")", 0), 0u)
      << "packaging/changelog's first entry is not the project's version";
   run = testutil::Run({SALVOR_BINARY, "--help"});
   EXPECT_EQ(run.exit.Code(), 0);
   EXPECT_TRUE(Has(run.out, "debug -s <config.xml>")) << run.out;
}

}  // namespace
