// The collector's operations features end to end: the real binary under a
// service manager (so that a stop is a clean one), dumps sent from
// loopback hosts, and the journal, the hook's view, the retention and the
// metrics file looked at on disk.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/collector/opsPlatform.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/support/testHost.h"
#include "tests/support/testPlatform.h"
#include "tests/support/testUtil.h"

using testutil::DUMP_PATH_SEP;
using testutil::Encode;
using testutil::Host;
using testutil::HostDumpDir;
using testutil::MakeHeader;
using testutil::Quoted;
using testutil::SeenFrom;

namespace {

#define SKIP_WITHOUT_SERVICE(salvor)                                     \
   if (!(salvor).Failure().empty()) {                                   \
      GTEST_SKIP() << "no collector as a service: " << (salvor).Failure(); \
   }

// A configuration in `dir` (data and log below it) with extra elements; its path.
std::string
WriteConfig(const std::string &dir, uint16_t port, const std::string &extra)
{
   std::string config = dir + "/salvor.xml";
   testutil::WriteFile(config, "<c><defaultValues><port>" + std::to_string(port) +
                                  "</port></defaultValues><defaultDataPath>" + dir +
                                  "/data</defaultDataPath><defaultLogPath>" + dir +
                                  "/log</defaultLogPath>" + extra + "</c>");
   return config;
}

// Whether something answers a status check on `port` while `running` holds.
template <typename F>
bool
Answers(uint16_t port, F running)
{
   testutil::UdpPeer peer;
   salvorMsgHeader reply;
   for (int i = 0; i < 100 && running(); i++) {
      if (peer.Request(Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK)), port, &reply, 100)) {
         return true;
      }
   }
   return false;
}

// The collector with extra configuration elements, as a service.
class Collector {
public:
   explicit Collector(const std::string &extra, const std::string &dir) : dir_(dir)
   {
      port_ = testutil::FreeUdpPort();
      std::string config = WriteConfig(dir, port_, extra);
      service_ = std::make_unique<testutil::ServiceCollector>(SALVOR_BINARY, config, dir);
   }

   const std::string &Failure() const { return service_->Failure(); }
   bool Ready()
   {
      return Answers(port_, [&] { return service_->Running(); });
   }
   // A clean stop, as the service manager asks for one.
   int Stop() { return service_->Stop(); }
   uint16_t Port() const { return port_; }
   std::string Data() const { return dir_ + "/data"; }
   std::string Log() const { return testutil::ReadFile(dir_ + "/log/salvor.log"); }
   std::string Journal() const { return testutil::ReadFile(dir_ + "/log/dumps.jsonl"); }
   std::string Console() const { return testutil::ReadFile(dir_ + "/console.txt"); }
   // The start of the path of a dump of `ip`, as the journal quotes it.
   std::string QuotedDumpPrefix(const std::string &ip) const
   {
      return Quoted(HostDumpDir(Data(), ip) + DUMP_PATH_SEP + "zdump_" + ip + "-");
   }

private:
   std::string dir_;
   uint16_t port_ = 0;
   std::unique_ptr<testutil::ServiceCollector> service_;
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

// The journal line of the dump whose client time stamp is `ts`, or "".
std::string
LineOf(const std::string &journal, int64_t ts)
{
   for (const std::string &line : Lines(journal)) {
      if (line.find("\"clientTimestamp\":" + std::to_string(ts) + ",") != std::string::npos) {
         return line;
      }
   }
   return "";
}

// The text without carriage returns (a batch file's lines end with them).
std::string
Unix(std::string text)
{
   std::erase(text, '\r');
   return text;
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
   SKIP_WITHOUT_SERVICE(salvor);
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
   std::string line = LineOf(journal, 11);
   EXPECT_TRUE(Has(line, "\"outcome\":\"complete\"")) << line;
   EXPECT_TRUE(Has(line, "\"host\":\"" + SeenFrom("127.0.0.2") + "\"")) << line;
   EXPECT_TRUE(Has(line, "\"bytes\":3000,\"size\":3000,\"messages\":3,\"duplicates\":0,"
                         "\"holes\":[],\"holeBytes\":0")) << line;
   EXPECT_TRUE(Has(line, "\"file\":\"" + salvor.QuotedDumpPrefix(SeenFrom("127.0.0.2")))) << line;
   EXPECT_EQ(line.rfind("{\"time\":\"2", 0), 0u) << line;

   line = LineOf(journal, 12);
   EXPECT_TRUE(Has(line, "\"outcome\":\"incomplete\"")) << line;
   EXPECT_TRUE(Has(line, "\"holes\":[[1000,1000]],\"holeBytes\":1000")) << line;
   EXPECT_TRUE(Has(line, "\"bytes\":3000,\"size\":4000")) << line;

   line = LineOf(journal, 13);
   EXPECT_TRUE(Has(line, "\"outcome\":\"stopped\"")) << line;
   EXPECT_TRUE(Has(line, "\"messages\":2,\"duplicates\":1")) << line;
   EXPECT_TRUE(Has(line, "\"file\":")) << "the file stays: " << line;
}

/*
 * The collector in the foreground (the `debug` command, as scripts/run.sh
 * starts it) stops on Ctrl-C and on SIGTERM as the service does: the dump
 * in progress is journaled and the metrics file says nothing is.
 */
class ForegroundStop : public ::testing::TestWithParam<bool> {};

TEST_P(ForegroundStop, EndsTheWayTheServiceStops)
{
   testutil::TempDir dir;
   uint16_t port = testutil::FreeUdpPort();
   std::string metrics = dir / "salvor.prom";
   std::string config = WriteConfig(dir.Path(), port, "<metricsFile>" + metrics + "</metricsFile>");
   testutil::SpawnOptions options;
   options.out = testutil::Redirect::ToFile(dir / "console.txt");
   options.err = testutil::Redirect(testutil::Redirect::ToStdout);
   testutil::Process salvor({SALVOR_BINARY, "debug", "-s", config}, options);
   ASSERT_TRUE(Answers(port, [&] { return salvor.Running(); }))
      << testutil::ReadFile(dir / "console.txt");
   Host host("127.0.0.2", port);
   uint32_t slot = host.Init(91);
   EXPECT_EQ(host.Data(91, slot, 0, std::string(300, 'q')), hxk_success);
   if (!testutil::AskForegroundStop(salvor, GetParam())) {
      GTEST_SKIP() << "no console event can be sent to the collector from here";
   }
   std::optional<testutil::ExitInfo> exit = salvor.WaitFor(std::chrono::seconds(30));
   ASSERT_TRUE(exit.has_value()) << "still running";
   EXPECT_EQ(exit->Code(), 0) << "signal " << exit->Signal();
   std::string log = testutil::ReadFile(dir / "log/salvor.log");
   EXPECT_TRUE(Has(log, "Stopping network coredump server now.\n")) << log;
   std::string line = LineOf(testutil::ReadFile(dir / "log/dumps.jsonl"), 91);
   EXPECT_TRUE(Has(line, "\"outcome\":\"stopped\"")) << line;
   std::string text = testutil::ReadFile(metrics);
   EXPECT_TRUE(Has(text, "salvor_dumps_in_progress 0\n")) << text;
   EXPECT_TRUE(Has(text, "salvor_dumps_total{outcome=\"stopped\"} 1\n")) << text;
}

INSTANTIATE_TEST_SUITE_P(Requests, ForegroundStop, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                            return std::string(info.param ? "CtrlC" : "Terminate");
                         });

// The idle timeout is a minute: this test takes that long.
TEST(Journal, ExpiredDumpIsJournaledWithItsFileGone)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "a minute of waiting for the idle timeout does not fit the Windows "
                      "stage's time; the idle sweep runs the same code on both";
   }
   testutil::TempDir dir;
   Collector salvor("", dir.Path());
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.5", salvor.Port());
   uint32_t slot = host.Init(21);
   EXPECT_EQ(host.Data(21, slot, 2000, std::string(100, 'y')), hxk_success);
   ASSERT_TRUE(Eventually([&] { return !salvor.Journal().empty(); }, std::chrono::seconds(90)));
   std::string line = LineOf(salvor.Journal(), 21);
   EXPECT_TRUE(Has(line, "\"outcome\":\"expired\"")) << line;
   EXPECT_FALSE(Has(line, "\"file\":")) << line;
   EXPECT_TRUE(Has(line, "\"removedFile\":")) << line;
   EXPECT_TRUE(Has(line, "\"holes\":[[0,2000]],\"holeBytes\":2000")) << line;
   EXPECT_TRUE(testutil::ListFiles(salvor.Data()).empty());
}

TEST(Hook, SeesTheDumpInItsEnvironmentAndItsEndIsLogged)
{
   testutil::TempDir dir;
   std::string hook = testutil::WriteHook(
      dir.Path(), "hook",
      "env | grep '^SALVOR_' > \"" + dir.Path() + "/env.$SALVOR_HOST\"\n"
      "echo \"no luck with $SALVOR_OUTCOME\" >&2\necho second line >&2\nexit 3\n",
      ">\"" + dir.Path() + "\\env.%SALVOR_HOST%\" set SALVOR_\n"
      ">&2 echo no luck with %SALVOR_OUTCOME%\n>&2 echo second line\nexit /b 3\n");
   Collector salvor("<dumpHook>" + hook + "</dumpHook>", dir.Path());
   SKIP_WITHOUT_SERVICE(salvor);
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   std::string seen = SeenFrom("127.0.0.2");
   Host host("127.0.0.2", salvor.Port());
   Dump(host, 31, 2);
   std::string envFile = dir / ("env." + seen);
   ASSERT_TRUE(Eventually([&] { return Has(testutil::ReadFile(envFile), "SALVOR_RECORD"); },
                          std::chrono::seconds(20)))
      << salvor.Log();
   std::string env = Unix(testutil::ReadFile(envFile));
   std::string line = LineOf(salvor.Journal(), 31);
   EXPECT_TRUE(Has(env, "SALVOR_OUTCOME=complete\n")) << env;
   EXPECT_TRUE(Has(env, "SALVOR_HOST=" + seen + "\n")) << env;
   EXPECT_TRUE(Has(env, "SALVOR_FILE=" + HostDumpDir(salvor.Data(), seen) + DUMP_PATH_SEP +
                            "zdump_")) << env;
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

// The hook waits on a program of its own, which the kill must reach too.
TEST(Hook, ThatRunsTooLongIsKilled)
{
   testutil::TempDir dir;
   std::string hook = testutil::WriteHook(dir.Path(), "hook",
                                          "echo started >&2\nexec sleep 300\n",
                                          ">&2 echo started\nping -n 300 127.0.0.1 >nul\n");
   Collector salvor("<dumpHook>" + hook + "</dumpHook><hookTimeout>1</hookTimeout>",
                    dir.Path());
   SKIP_WITHOUT_SERVICE(salvor);
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   Dump(host, 41, 1);
   EXPECT_TRUE(Eventually([&] { return Has(salvor.Log(), "was killed after 1 seconds: started"); },
                          std::chrono::seconds(30)))
      << salvor.Log();
}

// The process id a hook wrote to `path`, once it is there; 0 until then.
long
PidIn(const std::string &path)
{
   std::string text = testutil::ReadFile(path);
   return text.find('\n') == std::string::npos ? 0 : std::atol(text.c_str());
}

/*
 * A hook's descendants end with it, also one that left its group and
 * session: when the hook is killed for its time, and when it exits
 * leaving them running. Children that leave a Windows job are not
 * possible without the job's leave, so this is a Linux matter.
 */
TEST(Hook, WhatAHookLeavesRunningEndsWithIt)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "a batch file cannot say which process it started; the job that "
                      "holds a hook's tree is ended with the hook";
   }
   testutil::TempDir dir;
   std::string hook = testutil::WriteHook(
      dir.Path(), "hook",
      "sleep 300 &\necho $! > \"" + dir.Path() + "/grouped.$SALVOR_BYTES\"\n"
      "setsid sleep 300 &\necho $! > \"" + dir.Path() + "/escaped.$SALVOR_BYTES\"\n"
      "[ \"$SALVOR_BYTES\" = 1000 ] && exit 0\nsleep 300\n",
      "");
   Collector salvor("<dumpHook>" + hook + "</dumpHook><hookTimeout>2</hookTimeout>",
                    dir.Path());
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   Dump(host, 43, 1);  // 1,000 bytes: the hook exits at once
   Dump(host, 44, 2);  // 2,000 bytes: the hook is killed after 2 seconds
   std::vector<long> pids;
   for (const char *name : {"grouped.1000", "escaped.1000", "grouped.2000", "escaped.2000"}) {
      long pid = 0;
      EXPECT_TRUE(Eventually([&] { return (pid = PidIn(dir / name)) > 0; },
                             std::chrono::seconds(20))) << name;
      pids.push_back(pid);
   }
   ASSERT_TRUE(Eventually([&] { return Has(salvor.Log(), "was killed after 2 seconds"); },
                          std::chrono::seconds(30))) << salvor.Log();
   EXPECT_TRUE(Has(salvor.Log(), "exited with status 0")) << salvor.Log();
   for (size_t i = 0; i < pids.size(); i++) {
      EXPECT_TRUE(Eventually([&] { return testutil::ProcessGone(pids[i]); },
                             std::chrono::seconds(30)))
         << "child " << i << " of the hooks still runs";
      testutil::EndProcess(pids[i]);
   }
   EXPECT_EQ(salvor.Stop(), 0);
}

/*
 * Queued hooks start as soon as running ones end, not at the loop's
 * periodic wake-up: 20 hooks, four at a time, that all end together. Run
 * by the wake-up alone they would need at least 15 seconds (three of its
 * 5-second periods after the first two batches).
 */
TEST(Hook, QueuedHooksStartAsRunningOnesEnd)
{
   testutil::TempDir dir;
   std::string go = dir / "go";
   std::string hook = testutil::WriteHook(
      dir.Path(), "hook", "while [ ! -e \"" + go + "\" ]; do sleep 0.05; done\n",
      ":wait\nif not exist \"" + go + "\" (ping -n 1 127.0.0.1 >nul & goto wait)\n");
   Collector salvor("<dumpHook>" + hook + "</dumpHook>", dir.Path());
   SKIP_WITHOUT_SERVICE(salvor);
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   constexpr size_t HOOKS = 20;
   for (size_t i = 0; i < HOOKS; i++) {
      Dump(host, 200 + (int64_t)i, 1);
   }
   testutil::WriteFile(go, "");
   auto ended = [&] {
      std::string log = salvor.Log();
      size_t count = 0;
      for (size_t at = 0; (at = log.find("exited with status 0", at)) != std::string::npos; at++) {
         count++;
      }
      return count;
   };
   EXPECT_TRUE(Eventually([&] { return ended() == HOOKS; }, std::chrono::seconds(10)))
      << ended() << " hooks ended\n" << salvor.Log();
   EXPECT_EQ(salvor.Stop(), 0);
}

// The example hook shipped for the platform: a complete dump is
// compressed beside itself and goes. Without the compressor (Wine has no
// tar.exe) the hook says so, which the log shows.
TEST(Hook, ShippedExampleCompressesACompleteDump)
{
   testutil::TempDir dir;
   std::string shipped = TEST_ON_WINDOWS ? "/packaging/hooks/windows/compress-complete.cmd"
                                         : "/packaging/hooks/zstd-complete";
   std::string hook = dir / shipped.substr(shipped.rfind('/') + 1);
   std::filesystem::copy_file(SALVOR_SOURCE_DIR + shipped, hook);
   Collector salvor("<dumpHook>" + hook + "</dumpHook>", dir.Path());
   SKIP_WITHOUT_SERVICE(salvor);
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   Dump(host, 35, 3);
   ASSERT_TRUE(Eventually([&] { return Has(salvor.Log(), "exited with status"); },
                          std::chrono::seconds(30)))
      << salvor.Log();
   std::string log = salvor.Log();
   std::vector<std::string> files = testutil::ListFiles(salvor.Data());
   if (!Has(log, "exited with status 0")) {
      EXPECT_TRUE(Has(log, TEST_ON_WINDOWS ? "exited with status 1: compress-complete: tar.exe "
                                             "is not available"
                                           : "exited with status 1: zstd-complete: zstd is not"))
         << log;
      EXPECT_EQ(files.size(), 1u) << "the dump stays: " << ::testing::PrintToString(files);
      return;
   }
   ASSERT_EQ(files.size(), 1u) << ::testing::PrintToString(files);
   EXPECT_TRUE(files[0].ends_with(TEST_ON_WINDOWS ? "-0.zip" : "-0.zst")) << files[0];
}

TEST(Retention, KeepsTheNewestDumpsOfEachHostAndNothingElse)
{
   testutil::TempDir dir;
   std::string data = dir / "data";
   std::string seen = SeenFrom("127.0.0.2");
   std::string hostDir = HostDumpDir(data, seen);
   // Things of others in the host's directory, an empty host directory,
   // and another host's only dump, older than all of these.
   std::filesystem::create_directories(hostDir);
   std::filesystem::create_directories(data + "/10/1/2/3");
   std::filesystem::create_directories(data + "/10/1/2/4");
   testutil::WriteFile(hostDir + "/notes.txt", "mine");
   std::string otherDump = data + "/10/1/2/4/zdump_10.1.2.4-2020-01-01-00_00-0";
   testutil::WriteFile(otherDump, "old");
   auto hourAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
   std::filesystem::last_write_time(otherDump, hourAgo);
   // A dump still being written: the write bit on POSIX, an open writer on Windows.
   std::string writing = hostDir + "/zdump_" + seen + "-2020-01-01-00_00-0";
   testutil::WriteFile(writing, "partial");
   std::filesystem::last_write_time(writing, hourAgo);
   std::ofstream writer(writing, std::ios::app);
   // A finished dump that a hook compressed or encrypted is the
   // collector's to remove; a file of the operator's named like a dump is not.
   std::string compressed = hostDir + "/zdump_" + seen + "-2020-01-01-00_00-7.zst";
   std::string encrypted = hostDir + "/zdump_" + seen + "-2020-01-01-00_00-8.age";
   std::string notes = hostDir + "/zdump_notes";
   for (const std::string &old : {compressed, encrypted, notes}) {
      testutil::WriteFile(old, "old");
      std::filesystem::last_write_time(old, hourAgo);
      std::filesystem::permissions(old, std::filesystem::perms::owner_read);
   }
   // A partial dump that a stop left behind, newer than all: no one
   // writes it, yet it is no finished dump.
   std::string stopped = hostDir + "/zdump_" + seen + "-2020-01-01-00_00-1";
   testutil::WriteFile(stopped, "stopped");
   std::filesystem::last_write_time(stopped, std::filesystem::file_time_type::clock::now() +
                                                std::chrono::hours(1));
   // Finished dumps have no write bit (on Windows: are read-only).
   std::filesystem::permissions(otherDump, std::filesystem::perms::owner_read);
   if (!TEST_ON_WINDOWS) {
      // Links are not followed.
      testutil::WriteFile(dir / "elsewhere", "not a dump");
      std::filesystem::permissions(dir / "elsewhere", std::filesystem::perms::owner_read);
      std::filesystem::create_symlink(dir / "elsewhere", hostDir + "/zdump_link");
      // An operator's hard link to the other host's dump, kept apart.
      std::filesystem::create_hard_link(otherDump, hostDir + "/zdump_" + seen + "-kept");
   }
   Collector salvor("<keepPerHost>2</keepPerHost>", dir.Path());
   SKIP_WITHOUT_SERVICE(salvor);
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   for (int i = 0; i < 3; i++) {
      Dump(host, 51 + i, 1);
   }
   auto removedLines = [&] {
      std::string removed;
      for (const std::string &line : Lines(salvor.Journal())) {
         if (Has(line, "\"outcome\":\"removed\"")) {
            removed += line + "\n";
         }
      }
      return removed;
   };
   ASSERT_TRUE(Eventually([&] { return Lines(removedLines()).size() >= 3; },
                          std::chrono::seconds(30)))
      << salvor.Log();
   std::vector<std::string> files = testutil::ListFiles(data);
   // Two dumps, the notes of both kinds, the dump being written, the one a
   // stop left, (the link and the hard link) and the other host's dump.
   EXPECT_EQ(files.size(), TEST_ON_WINDOWS ? 7u : 9u) << ::testing::PrintToString(files);
   EXPECT_TRUE(Has(testutil::ReadFile(hostDir + "/notes.txt"), "mine"));
   EXPECT_EQ(testutil::ReadFile(notes), "old");
   EXPECT_FALSE(std::filesystem::exists(compressed));
   EXPECT_FALSE(std::filesystem::exists(encrypted));
   EXPECT_EQ(testutil::ReadFile(otherDump), "old");
   EXPECT_EQ(testutil::ReadFile(writing), "partial");
   EXPECT_EQ(testutil::ReadFile(stopped), "stopped");
   if (!TEST_ON_WINDOWS) {
      EXPECT_TRUE(std::filesystem::is_symlink(hostDir + "/zdump_link"));
      EXPECT_EQ(testutil::ReadFile(dir / "elsewhere"), "not a dump");
   }
   EXPECT_FALSE(std::filesystem::exists(data + "/10/1/2/3")) << "the empty host directory goes";
   std::string removed = removedLines();
   // The compressed and the encrypted dumps, and the oldest of the
   // three, the one that carried 'a' first (ts 51).
   EXPECT_EQ(Lines(removed).size(), 3u) << removed;
   EXPECT_TRUE(Has(removed, "-7.zst\"")) << removed;
   EXPECT_TRUE(Has(removed, "-8.age\"")) << removed;
   EXPECT_TRUE(Has(removed, "\"host\":\"" + seen + "\"")) << removed;
   EXPECT_TRUE(Has(removed, salvor.QuotedDumpPrefix(seen))) << removed;
   EXPECT_TRUE(Has(removed, "-0\"")) << "the first dump goes: " << removed;
   EXPECT_TRUE(Has(salvor.Log(), "Removed dump ")) << salvor.Log();
}

TEST(DiskSpace, InitThatWouldLeaveTooLittleFreeIsRefused)
{
   testutil::TempDir dir;
   Collector salvor("<keepFreeMiB>1000000000000</keepFreeMiB>", dir.Path());
   SKIP_WITHOUT_SERVICE(salvor);
   ASSERT_TRUE(salvor.Ready()) << salvor.Console();
   Host host("127.0.0.2", salvor.Port());
   EXPECT_EQ(host.Call(MakeHeader(SALVOR_MSG_INIT, 71)).status, hxk_limit_exceeded);
   EXPECT_TRUE(Has(salvor.Log(), "Refusing a new dump from " + SeenFrom("127.0.0.2"))) << salvor.Log();
   EXPECT_TRUE(testutil::ListFiles(salvor.Data()).empty());
}

// What promtool, which reads the text format as a node exporter does,
// says of the metrics file: "" when it finds nothing wrong.
std::string
PromtoolComplaints(const std::string &metrics)
{
   testutil::RunResult run =
      testutil::Run({"/bin/sh", "-c", "exec promtool check metrics < \"$0\" 2>&1", metrics});
   if (run.exit.Code() == 0 && run.out.empty()) {
      return "";
   }
   return "promtool (exit " + std::to_string(run.exit.Code()) + "): " + run.out;
}

TEST(Metrics, FileHasEveryFamilyInTheExportersTextFormat)
{
   testutil::TempDir dir;
   std::string metrics = dir / "salvor.prom";
   Collector salvor("<metricsFile>" + metrics + "</metricsFile>", dir.Path());
   SKIP_WITHOUT_SERVICE(salvor);
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
   EXPECT_TRUE(Has(text, "salvor_dump_bytes{host=\"" + SeenFrom("127.0.0.2") + "\",file=\"" +
                             salvor.QuotedDumpPrefix(SeenFrom("127.0.0.2")))) << text;
   if (!TEST_ON_WINDOWS) {
      EXPECT_EQ(PromtoolComplaints(metrics), "") << text;
   }
   ASSERT_EQ(salvor.Stop(), 0);
   text = testutil::ReadFile(metrics);
   for (const char *family : {"salvor_dumps_in_progress gauge", "salvor_dumps_total counter",
                              "salvor_dumps_refused_total counter",
                              "salvor_received_bytes_total counter",
                              "salvor_datagrams_total counter",
                              "salvor_datagrams_dropped_total counter",
                              "salvor_journal_records_dropped_total counter",
                              "salvor_data_free_bytes gauge", "salvor_log_throttled_total counter",
                              "salvor_hook_runs_total counter", "salvor_start_time_seconds gauge",
                              "salvor_dump_bytes gauge"}) {
      std::string name = std::string(family).substr(0, std::strcspn(family, " "));
      EXPECT_TRUE(Has(text, "# HELP " + name + " ")) << family;
      EXPECT_TRUE(Has(text, std::string("# TYPE ") + family + "\n")) << family;
   }
   EXPECT_TRUE(Has(text, "salvor_dumps_total{outcome=\"complete\"} 1\n")) << text;
   EXPECT_TRUE(Has(text, "salvor_dumps_total{outcome=\"stopped\"} 1\n")) << text;
   EXPECT_TRUE(Has(text, "salvor_received_bytes_total 2700\n")) << text;
   EXPECT_TRUE(Has(text, "salvor_datagrams_total{type=\"init\"} 2\n")) << text;
   EXPECT_TRUE(Has(text, "salvor_dumps_in_progress 0\n")) << text;
   if (!TEST_ON_WINDOWS) {
      EXPECT_EQ(PromtoolComplaints(metrics), "") << text;
   }
   for (const std::string &file : testutil::ListFiles(dir.Path())) {
      EXPECT_FALSE(file.starts_with("salvor.prom.")) << "a temporary file was left: " << file;
   }
}

// Datagrams from hosts outside allowFrom, and those whose lines the
// per-host limit held back, are all counted.
TEST(Metrics, RefusedAndQuietedDatagramsAreAllCounted)
{
   if (TestUnderWine()) {
      GTEST_SKIP() << "the refused host is told apart by its loopback address, and Wine sends "
                      "every datagram from 127.0.0.1 (Windows keeps them apart)";
   }
   testutil::TempDir dir;
   std::string metrics = dir / "salvor.prom";
   Collector salvor("<metricsFile>" + metrics + "</metricsFile><allowFrom>127.0.0.1</allowFrom>"
                    "<allowFrom>127.0.0.2</allowFrom>", dir.Path());
   SKIP_WITHOUT_SERVICE(salvor);
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
