// Dumps in progress across restarts of the real collector (resumeDumps):
// killed, stopped, killed again and again; a state file damaged, cut
// short or replaced by a link; and the retry hint of a full table.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/collectorProcess.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/support/testHost.h"
#include "tests/support/testPlatform.h"
#include "tests/support/testUtil.h"

using testutil::CollectorOptions;
using testutil::CollectorProcess;
using testutil::Encode;
using testutil::Host;
using testutil::MakeHeader;
using testutil::UdpPeer;

namespace {

const char *const RESUME = "<resumeDumps>true</resumeDumps>";
const char *const HOST_IP = "127.0.0.2";

std::string
Content(size_t n, uint32_t seed)
{
   std::vector<uint8_t> bytes = testutil::RandomBytes(n, seed);
   return std::string(bytes.begin(), bytes.end());
}

size_t
Chunks(const std::string &content)
{
   return (content.size() + SALVOR_MAX_PAYLOAD - 1) / SALVOR_MAX_PAYLOAD;
}

// Sends chunks [from, to) of a dump one at a time; each must be answered with success.
void
SendChunks(Host &host, int64_t ts, uint32_t slot, const std::string &content, size_t from,
           size_t to)
{
   for (size_t i = from; i < to; i++) {
      ASSERT_EQ(host.Data(ts, slot, (uint32_t)(i * SALVOR_MAX_PAYLOAD),
                          content.substr(i * SALVOR_MAX_PAYLOAD, SALVOR_MAX_PAYLOAD)),
                hxk_success) << "chunk " << i;
   }
}

// The collector of a test: always in `dir`, so that a restart finds its state.
class Restarts {
public:
   explicit Restarts(std::string extra = RESUME) : extra_(std::move(extra)) {}

   // Listens on the port of the first start ever after, as a collector does.
   CollectorProcess &Start()
   {
      salvor_.emplace(SALVOR_BINARY, CollectorOptions{.dir = dir_.Path(), .extraConfig = extra_,
                                                      .port = port_});
      port_ = salvor_->Port();
      std::string why;
      EXPECT_TRUE(salvor_->WaitReady(&why)) << why << "\n" << salvor_->Console();
      return *salvor_;
   }
   void Kill()
   {
      salvor_->Kill();
      salvor_.reset();
   }
   void Stop() { salvor_.reset(); }  // asks it to stop, as a service manager does
   void SetExtra(std::string extra) { extra_ = std::move(extra); }

   std::string Data() const { return dir_.Path() + "/data"; }
   std::string HostDir(const std::string &ip = HOST_IP) const
   {
      std::string levels = ip;
      std::replace(levels.begin(), levels.end(), '.', '/');
      return Data() + "/" + levels;
   }
   std::string State() const { return Data() + "/.salvor-resume"; }
   std::string Log() const { return testutil::ReadFile(dir_.Path() + "/log/salvor.log"); }
   std::string Journal() const { return testutil::ReadFile(dir_.Path() + "/log/dumps.jsonl"); }
   std::string OnlyDump(const std::string &ip = HOST_IP) const
   {
      auto files = testutil::ListFiles(HostDir(ip));
      return files.size() == 1 ? testutil::ReadFile(HostDir(ip) + "/" + files[0])
                               : "<" + std::to_string(files.size()) + " files>";
   }

private:
   testutil::TempDir dir_;
   std::string extra_;
   uint16_t port_ = 0;
   std::optional<CollectorProcess> salvor_;
};

std::string
LastLine(const std::string &text)
{
   size_t end = text.find_last_not_of('\n');
   if (end == std::string::npos) {
      return "";
   }
   size_t start = text.rfind('\n', end);
   return text.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start + 1));
}

void
ExpectCompleteAndResumed(const std::string &record, int resumed)
{
   EXPECT_NE(record.find("\"outcome\":\"complete\""), std::string::npos) << record;
   EXPECT_NE(record.find("\"holes\":[]"), std::string::npos) << record;
   EXPECT_NE(record.find("\"resumed\":" + std::to_string(resumed)), std::string::npos) << record;
}

// Half a dump, a kill or a stop, the other half: one file, whole.
void
DumpAcrossRestart(bool kill)
{
   Restarts run;
   std::string content = Content(300000, 3);
   const int64_t ts = 7001;
   uint32_t slot;
   {
      Host host(HOST_IP, run.Start().Port());
      // Another host takes slot 0 first: the dump keeps its own slot, not the lowest.
      Host other("127.0.0.3", host.CollectorPort());
      other.Init(9);
      slot = host.Init(ts);
      ASSERT_EQ(slot, 1u);
      SendChunks(host, ts, slot, content, 0, Chunks(content) / 2);
   }
   kill ? run.Kill() : run.Stop();
   Host host(HOST_IP, run.Start().Port());
   SendChunks(host, ts, slot, content, Chunks(content) / 2, Chunks(content));
   ASSERT_EQ(host.Done(ts, slot), hxk_success);
   EXPECT_TRUE(run.OnlyDump() == content);
   ExpectCompleteAndResumed(LastLine(run.Journal()), 1);
   // A clean stop ends nothing: no journal line says the dump stopped.
   EXPECT_EQ(run.Journal().find("\"stopped\""), std::string::npos) << run.Journal();
}

TEST(Resume, ADumpGoesOnAfterTheCollectorWasKilled)
{
   DumpAcrossRestart(true);
}

TEST(Resume, ADumpGoesOnAfterTheCollectorWasStopped)
{
   DumpAcrossRestart(false);
}

/*
 * A client that sends a window of data messages to whichever port the
 * collector has now, resending what is not answered, and stops taking
 * new chunks once `allowed` are answered.
 */
struct WindowedSender {
   const std::string &content;
   int64_t ts;
   uint32_t slot;
   std::atomic<uint16_t> port{0};
   std::atomic<size_t> allowed{0};
   std::atomic<size_t> answered{0};
   std::atomic<bool> failed{false};
   const char *ip = HOST_IP;

   void Run()
   {
      UdpPeer peer(ip);
      std::map<size_t, std::vector<uint8_t>> outstanding;
      size_t next = 0;
      size_t chunks = Chunks(content);
      auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
      while ((next < chunks || !outstanding.empty()) && !failed) {
         while (outstanding.size() < 8 && next < chunks && next < allowed.load()) {
            salvorMsgHeader hdr = MakeHeader(SALVOR_MSG_DATA, ts, slot);
            hdr.dataOffset = (uint32_t)(next * SALVOR_MAX_PAYLOAD);
            std::string piece = content.substr(next * SALVOR_MAX_PAYLOAD, SALVOR_MAX_PAYLOAD);
            hdr.dataLength = (uint32_t)piece.size();
            outstanding[next] = Encode(hdr, piece);
            peer.SendTo(outstanding[next], port.load());
            next++;
         }
         std::vector<uint8_t> got = peer.Receive(50);
         if (got.empty()) {
            for (auto &[chunk, bytes] : outstanding) {
               peer.SendTo(bytes, port.load());
            }
            failed = std::chrono::steady_clock::now() > deadline;
            continue;
         }
         salvorMsgHeader reply;
         SalvorDecodeHeader(got.data(), &reply);
         size_t chunk = reply.dataOffset / SALVOR_MAX_PAYLOAD;
         if (reply.status != hxk_success) {
            ADD_FAILURE() << "chunk " << chunk << " answered " << std::hex << reply.status;
            failed = true;
         } else if (outstanding.erase(chunk) == 1) {
            answered++;
         }
      }
   }
};

TEST(Resume, ADumpSurvivesTwentyKillsAtRandomInstants)
{
   Restarts run;
   std::string content = Content(6 << 20, 11);
   const int64_t ts = 7002;
   Host first(HOST_IP, run.Start().Port());
   WindowedSender sender{content, ts, first.Init(ts)};
   sender.port = first.CollectorPort();
   std::mt19937 random(20261208);
   const size_t chunks = Chunks(content);
   sender.allowed = 1 + random() % 200;
   std::thread client([&] { sender.Run(); });
   for (int kill = 0; kill < 20 && !sender.failed; kill++) {
      // Kill while data is in flight: somewhere in the latest allowance.
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
      run.Kill();
      sender.port = run.Start().Port();
      sender.allowed = std::min(chunks, sender.allowed + 1 + random() % 200);
   }
   sender.allowed = chunks;
   client.join();
   ASSERT_FALSE(sender.failed);
   Host host(HOST_IP, sender.port);
   ASSERT_EQ(host.Done(ts, sender.slot), hxk_success);
   EXPECT_TRUE(run.OnlyDump() == content);
   ExpectCompleteAndResumed(LastLine(run.Journal()), 20);
}

// Eight hosts with 40 MiB each; the collector is killed once about a third
// has arrived, and started again 3 s later: every dump arrives whole.
// A salvor-send run of `file` from `ip` to the collector's port, riding out its restarts.
std::unique_ptr<testutil::Process>
StartSend(const std::string &ip, uint16_t port, const std::string &file)
{
   return std::make_unique<testutil::Process>(
      std::vector<std::string>{SALVOR_SEND_PATH, "--quiet", "--from", ip, "--server",
                               "127.0.0.1:" + std::to_string(port), "--wait", "120", file},
      testutil::SpawnOptions{.out = testutil::Redirect::Inherit,
                             .err = testutil::Redirect::Inherit,
                             .env = {}});
}

// Bytes stored so far below the data directory.
uint64_t
StoredBytes(const std::string &dir)
{
   uint64_t sum = 0;
   std::error_code ec;
   for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
        it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_regular_file(ec) && it->path().filename().string().starts_with("zdump_")) {
         sum += it->file_size(ec);
      }
   }
   return sum;
}

TEST(Resume, EightSalvorSendRunsSurviveAKillAtAThird)
{
   Restarts run;
   // The sanitizer builds, which run the suite again, send a tenth as much.
   const size_t size = (getenv("SALVOR_QUICK_TESTS") != nullptr ? 4u : 40u) << 20;
   uint16_t port = run.Start().Port();
   testutil::TempDir sources;
   std::vector<std::string> ips, contents;
   std::vector<std::unique_ptr<testutil::Process>> sends;
   for (int h = 0; h < 8; h++) {
      ips.push_back("127.0.2." + std::to_string(h + 1));
      contents.push_back(Content(size, 100 + h));
      testutil::WriteFile(sources / ips[h], contents[h]);
   }
   for (int h = 0; h < 8; h++) {
      sends.push_back(StartSend(ips[h], port, sources / ips[h]));
   }
   const uint64_t third = 8 * (uint64_t)size / 3;
   for (int i = 0; i < 60000 && StoredBytes(run.Data()) < third; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
   }
   run.Kill();
   std::this_thread::sleep_for(std::chrono::seconds(3));
   run.Start();
   for (int h = 0; h < 8; h++) {
      std::optional<testutil::ExitInfo> ended = sends[h]->WaitFor(std::chrono::seconds(150));
      ASSERT_TRUE(ended.has_value()) << ips[h] << " still sending";
      EXPECT_EQ(ended->Code(), 0) << ips[h];
      EXPECT_TRUE(run.OnlyDump(ips[h]) == contents[h]) << ips[h];
   }
   std::string journal = run.Journal();
   size_t complete = 0;
   const std::string mark = "\"holes\":[],\"holeBytes\":0,\"resumed\":1,\"outcome\":\"complete\"";
   for (size_t at = journal.find(mark); at != std::string::npos; at = journal.find(mark, at + 1)) {
      complete++;
   }
   EXPECT_EQ(complete, 8u) << journal;
}

/*
 * Every slot is held by a host that then falls silent: thirty hosts that
 * crash meanwhile are refused, retry as the collector's hint says, and
 * deliver once the idle sweep frees the slots (after its minute).
 */
TEST(Resume, ThirtyHostsDeliverOnceTheSlotsAnotherHeldFree)
{
   if (getenv("SALVOR_QUICK_TESTS") != nullptr) {
      GTEST_SKIP() << "waits out the idle minute: the sanitizer runs leave it to the normal one";
   }
   Restarts run;
   uint16_t port = run.Start().Port();
   // Eight holders, as a host's dump names run out at 256 a minute.
   for (int h = 0; h < 8; h++) {
      Host holder(("127.0.3." + std::to_string(h + 1)).c_str(), port);
      for (int64_t ts = 1; ts <= 128; ts++) {
         holder.Init(ts);
      }
   }
   Host late("127.0.3.9", port);
   salvorMsgHeader reply;
   ASSERT_TRUE(late.Peer().Request(Encode(MakeHeader(SALVOR_MSG_INIT, 5000)), port, &reply));
   ASSERT_EQ(reply.status, hxk_limit_exceeded);
   testutil::TempDir sources;
   std::vector<std::unique_ptr<testutil::Process>> sends;
   std::vector<std::string> ips, contents;
   for (int h = 0; h < 30; h++) {
      ips.push_back("127.0.4." + std::to_string(h + 1));
      contents.push_back(Content(20000 + h, 300 + h));
      testutil::WriteFile(sources / ips[h], contents[h]);
      sends.push_back(StartSend(ips[h], port, sources / ips[h]));
   }
   for (int h = 0; h < 30; h++) {
      std::optional<testutil::ExitInfo> ended = sends[h]->WaitFor(std::chrono::seconds(150));
      ASSERT_TRUE(ended.has_value()) << ips[h] << " still sending";
      EXPECT_EQ(ended->Code(), 0) << ips[h];
      EXPECT_TRUE(run.OnlyDump(ips[h]) == contents[h]) << ips[h];
   }
}

/*
 * A message answered alone makes one record: a dump sent a byte at a time
 * grows the state past the point where it is written anew, and what it
 * held is all there after a kill.
 */
TEST(Resume, TheStateIsWrittenAnewAsItGrowsAndKeepsWhatItHeld)
{
   Restarts run;
   const int64_t ts = 7005;
   const uint32_t bytes = 45000;  // some 27 bytes of state each: 1.2 MB unless rewritten
   std::string content = Content(bytes, 8);
   uint32_t slot;
   {
      Host host(HOST_IP, run.Start().Port());
      slot = host.Init(ts);
      for (uint32_t i = 0; i < bytes - 1; i++) {
         ASSERT_EQ(host.Data(ts, slot, i, content.substr(i, 1)), hxk_success) << i;
      }
      EXPECT_LT(std::filesystem::file_size(run.State()), 1u << 20);
   }
   run.Kill();
   Host host(HOST_IP, run.Start().Port());
   ASSERT_EQ(host.Data(ts, slot, bytes - 1, content.substr(bytes - 1)), hxk_success);
   ASSERT_EQ(host.Done(ts, slot), hxk_success);
   EXPECT_TRUE(run.OnlyDump() == content);
   ExpectCompleteAndResumed(LastLine(run.Journal()), 1);
}

// A dump begun and partly sent, then a kill: the state names it.
uint32_t
BeginAndKill(Restarts *run, const std::string &content, int64_t ts)
{
   Host host(HOST_IP, run->Start().Port());
   uint32_t slot = host.Init(ts);
   SendChunks(host, ts, slot, content, 0, 10);
   run->Kill();
   return slot;
}

TEST(Resume, WhatTheStateCannotVouchForIsDroppedAndSaid)
{
   std::string content = Content(20 * SALVOR_MAX_PAYLOAD, 5);
   const int64_t ts = 7003;
   {
      SCOPED_TRACE("damaged in the middle");
      Restarts run;
      uint32_t slot = BeginAndKill(&run, content, ts);
      std::string state = testutil::ReadFile(run.State());
      ASSERT_GT(state.size(), 60u);
      state[30] ^= 0x40;  // inside the dump's first record
      testutil::WriteFile(run.State(), state);
      Host host(HOST_IP, run.Start().Port());
      EXPECT_NE(run.Log().find("is set aside as " + run.State() + ".damaged"),
                std::string::npos) << run.Log();
      EXPECT_TRUE(std::filesystem::exists(run.State() + ".damaged"));
      EXPECT_EQ(host.Data(ts, slot, 0, "x"), hxk_invalid_dump);
   }
   {
      SCOPED_TRACE("cut short");
      Restarts run;
      uint32_t slot = BeginAndKill(&run, content, ts);
      std::filesystem::resize_file(run.State(), std::filesystem::file_size(run.State()) - 3);
      Host host(HOST_IP, run.Start().Port());
      EXPECT_NE(run.Log().find("ends in a record cut short: its last"), std::string::npos)
         << run.Log();
      // What was read before the cut still counts: the dump goes on.
      SendChunks(host, ts, slot, content, 10, 20);
      EXPECT_EQ(host.Done(ts, slot), hxk_success);
      EXPECT_TRUE(run.OnlyDump() == content);
   }
   {
      SCOPED_TRACE("a link in its place");
      Restarts run;
      uint32_t slot = BeginAndKill(&run, content, ts);
      std::string target = run.Data() + "/../elsewhere";
      std::filesystem::rename(run.State(), target);
      std::filesystem::create_symlink(target, run.State());
      // And one where the file is written anew: it is not followed either.
      std::string bait = run.Data() + "/../bait";
      testutil::WriteFile(bait, "untouched");
      std::filesystem::create_symlink(bait, run.State() + ".new");
      Host host(HOST_IP, run.Start().Port());
      EXPECT_NE(run.Log().find("is not a regular file (a link?): it is set aside"),
                std::string::npos) << run.Log();
      EXPECT_TRUE(std::filesystem::is_symlink(run.State() + ".damaged"));
      EXPECT_EQ(testutil::ReadFile(bait), "untouched");
      EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(run.State())));
      EXPECT_EQ(host.Data(ts, slot, 0, "x"), hxk_invalid_dump);
   }
   {
      SCOPED_TRACE("its dump file replaced");
      Restarts run;
      uint32_t slot = BeginAndKill(&run, content, ts);
      std::string file = run.HostDir() + "/" + testutil::ListFiles(run.HostDir())[0];
      std::string bytes = testutil::ReadFile(file);
      // Made before the old one goes, so that it cannot get the same inode.
      testutil::WriteFile(file + ".new", bytes);
      chmod((file + ".new").c_str(), 0200);
      std::filesystem::rename(file + ".new", file);
      Host host(HOST_IP, run.Start().Port());
      EXPECT_NE(run.Log().find("cannot be resumed: its file was replaced (device and inode "
                               "differ)"), std::string::npos) << run.Log();
      std::string record = LastLine(run.Journal());
      EXPECT_NE(record.find("\"outcome\":\"lost\""), std::string::npos) << record;
      EXPECT_NE(record.find("device and inode differ"), std::string::npos) << record;
      EXPECT_EQ(host.Data(ts, slot, 0, "x"), hxk_invalid_dump);
   }
}

TEST(Resume, WithoutTheElementARestartKnowsNoOldDump)
{
   Restarts run("");
   std::string content = Content(20 * SALVOR_MAX_PAYLOAD, 6);
   const int64_t ts = 7004;
   uint32_t slot;
   {
      Host host(HOST_IP, run.Start().Port());
      slot = host.Init(ts);
      SendChunks(host, ts, slot, content, 0, 5);
   }
   run.Stop();
   EXPECT_FALSE(std::filesystem::exists(run.State()));
   Host host(HOST_IP, run.Start().Port());
   EXPECT_EQ(host.Data(ts, slot, 0, "x"), hxk_invalid_dump);
   // Nor with it turned off after a run that had it.
   Restarts again;
   slot = BeginAndKill(&again, content, ts);
   again.SetExtra("<resumeDumps>false</resumeDumps>");
   Host later(HOST_IP, again.Start().Port());
   EXPECT_EQ(later.Data(ts, slot, 0, "x"), hxk_invalid_dump);
}

TEST(Resume, AFullTableSaysWhenASlotShouldFree)
{
   Restarts run;
   run.SetExtra("");
   CollectorProcess salvor(SALVOR_BINARY, {.openFilesSoft = 1024, .openFilesHard = 4096});
   ASSERT_TRUE(salvor.WaitReady()) << salvor.Console();
   std::vector<std::unique_ptr<Host>> hosts;
   for (int h = 0; h < 8; h++) {
      hosts.push_back(std::make_unique<Host>(("127.0.1." + std::to_string(h + 1)).c_str(),
                                             salvor.Port()));
   }
   for (int i = 0; i < 1024; i++) {
      ASSERT_EQ(hosts[i % 8]->Call(MakeHeader(SALVOR_MSG_INIT, 1 + i)).status, hxk_success) << i;
   }
   salvorMsgHeader refused = hosts[0]->Call(MakeHeader(SALVOR_MSG_INIT, 5000));
   ASSERT_EQ(refused.status, hxk_limit_exceeded);
   uint32_t seconds = (uint32_t)refused.reserved2[0] | (uint32_t)refused.reserved2[1] << 8 |
                      (uint32_t)refused.reserved2[2] << 16 | (uint32_t)refused.reserved2[3] << 24;
   // Every slot was just taken: each frees once its host has been idle a minute.
   EXPECT_GE(seconds, 1u);
   EXPECT_LE(seconds, 60u);
   // Any other reply's bytes stay as they came.
   salvorMsgHeader status = MakeHeader(SALVOR_MSG_STATUS_CHECK);
   std::memcpy(status.reserved2, "\x01\x02\x03\x04", 4);
   EXPECT_EQ(std::memcmp(hosts[1]->Call(status).reserved2, "\x01\x02\x03\x04", 4), 0);
}

}  // namespace
