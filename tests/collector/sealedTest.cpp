// Sealed datagrams against the real collector: hosts on loopback that
// seal every request with their key and open every reply, the keys file
// written, changed and broken on disk, and what reaches the data
// directory and the journal looked at afterwards.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "protocol/salvorKeys.h"
#include "protocol/salvorProto.h"
#include "protocol/salvorSeal.h"
#include "tests/collector/opsPlatform.h"
#include "tests/support/collectorProcess.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/support/testHost.h"
#include "tests/support/testUtil.h"

using testutil::CollectorOptions;
using testutil::CollectorProcess;
using testutil::Encode;
using testutil::MakeHeader;

namespace {

// A key line for `name`, and its key.
struct KeyLine {
   std::string name;
   std::string line;
   uint8_t key[SALVOR_SEAL_KEY_SIZE];
   uint8_t id[SALVOR_SEAL_ID_SIZE];
};

KeyLine
NewKey(const std::string &name)
{
   KeyLine k;
   k.name = name;
   SalvorSeal_MakeKey(k.key);
   SalvorSeal_KeyId(k.key, k.id);
   k.line = SalvorKeys_FormatLine(name.c_str(), k.key);
   return k;
}

void
WriteKeys(const std::string &path, const std::string &text, mode_t mode = 0600)
{
   testutil::WriteFile(path + ".new", text);
   chmod((path + ".new").c_str(), mode);
   std::rename((path + ".new").c_str(), path.c_str());
}

/*
 * A host that seals each request with its key and opens each reply,
 * keeping the token of its dump's init and every datagram it sent, so
 * that the conversation can be played again.
 */
class SealedHost {
public:
   SealedHost(const char *ip, uint16_t port, const KeyLine &key) : peer_(ip), port_(port), key_(key)
   {
   }

   std::vector<uint8_t> Seal(const salvorMsgHeader &hdr, const std::string &payload = "") const
   {
      std::vector<uint8_t> plain = Encode(hdr, payload);
      std::vector<uint8_t> sealed(plain.size() + SALVOR_SEAL_OVERHEAD);
      sealed.resize(SalvorSeal_Seal(key_.key, key_.id, plain.data(), plain.size(), sealed.data(),
                                    sealed.size()));
      return sealed;
   }

   // Opens a reply with the host's key; false when it does not open.
   bool Open(const std::vector<uint8_t> &bytes, salvorMsgHeader *reply) const
   {
      SalvorSealLookup lookup{[](const void *ctx, const uint8_t *id, int *which) -> const uint8_t * {
                                 const KeyLine *k = (const KeyLine *)ctx;
                                 *which = 0;
                                 return std::memcmp(id, k->id, SALVOR_SEAL_ID_SIZE) == 0 ? k->key
                                                                                        : nullptr;
                              },
                              &key_};
      uint8_t plain[SALVOR_RECV_BUFFER_SIZE];
      size_t length = 0;
      int which = 0;
      if (SalvorSeal_Open(lookup, bytes.data(), bytes.size(), plain, sizeof plain, &length,
                          &which) != SALVOR_OPEN_OK ||
          length != SALVOR_HEADER_SIZE) {
         return false;
      }
      SalvorDecodeHeader(plain, reply);
      return true;
   }

   // Sends a request, resent until a sealed reply comes; false if none does.
   bool Call(const salvorMsgHeader &hdr, const std::string &payload, salvorMsgHeader *reply,
             int tries = 10)
   {
      std::vector<uint8_t> bytes = Seal(hdr, payload);
      for (int i = 0; i < tries; i++) {
         sent_.push_back(bytes);
         peer_.SendTo(bytes, port_);
         for (std::vector<uint8_t> got = peer_.Receive(300); !got.empty();
              got = peer_.Receive(50)) {
            if (Open(got, reply) && reply->type == hdr.type &&
                reply->dataOffset == hdr.dataOffset) {
               return true;
            }
         }
      }
      return false;
   }

   // The init of a dump: its status, or -1 for silence. Keeps its slot and token.
   int64_t Begin(int64_t ts, int tries = 10)
   {
      salvorMsgHeader reply{};
      if (!Call(MakeHeader(SALVOR_MSG_INIT, ts), "", &reply, tries)) {
         return -1;
      }
      slot_ = reply.assignedDumpID;
      std::memcpy(token_, reply.reserved1, sizeof token_);
      return reply.status;
   }

   // Init, data in chunks and done; the done's status, or -1 for silence.
   int64_t SendDump(int64_t ts, const std::string &content)
   {
      int64_t status = Begin(ts);
      if (status != hxk_success) {
         return status;
      }
      for (size_t at = 0; at < content.size(); at += SALVOR_MAX_PAYLOAD) {
         uint32_t status = Data(ts, (uint32_t)at, content.substr(at, SALVOR_MAX_PAYLOAD));
         if (status != hxk_success) {
            return status;
         }
      }
      return Done(ts);
   }

   int64_t Data(int64_t ts, uint32_t offset, const std::string &bytes)
   {
      salvorMsgHeader hdr = WithToken(MakeHeader(SALVOR_MSG_DATA, ts, slot_));
      hdr.dataOffset = offset;
      hdr.dataLength = (uint32_t)bytes.size();
      salvorMsgHeader reply{};
      return Call(hdr, bytes, &reply) ? (int64_t)reply.status : -1;
   }

   int64_t Done(int64_t ts)
   {
      salvorMsgHeader reply{};
      return Call(WithToken(MakeHeader(SALVOR_MSG_DONE, ts, slot_)), "", &reply)
                ? (int64_t)reply.status
                : -1;
   }

   salvorMsgHeader WithToken(salvorMsgHeader hdr) const
   {
      std::memcpy(hdr.reserved1, token_, sizeof token_);
      return hdr;
   }

   testutil::UdpPeer &Peer() { return peer_; }
   uint16_t Port() const { return port_; }
   // Goes on with the same dump towards a collector that restarted.
   void SetPort(uint16_t port) { port_ = port; }
   uint32_t Slot() const { return slot_; }
   const std::vector<std::vector<uint8_t>> &Sent() const { return sent_; }

private:
   testutil::UdpPeer peer_;
   uint16_t port_;
   KeyLine key_;
   uint32_t slot_ = 0;
   uint8_t token_[8] = {};
   std::vector<std::vector<uint8_t>> sent_;
};

std::string
Bytes(size_t n, uint32_t seed)
{
   std::vector<uint8_t> b = testutil::RandomBytes(n, seed);
   return std::string(b.begin(), b.end());
}

// A collector whose keys file, in its directory, holds `keys`; plain
// datagrams are heard from 127.0.0.1 only (the harness's status checks).
struct SealedCollector {
   testutil::TempDir dir;
   std::string keysPath;
   std::unique_ptr<CollectorProcess> salvor;

   explicit SealedCollector(const std::string &keys, mode_t mode = 0600,
                            const std::string &extra = "")
   {
      keysPath = dir / "keys";
      WriteKeys(keysPath, keys, mode);
      options.dir = dir / "c";
      options.extraConfig = "<keysFile>" + keysPath +
                            "</keysFile><allowPlainFrom>127.0.0.1/32</allowPlainFrom>" + extra;
      salvor = std::make_unique<CollectorProcess>(SALVOR_BINARY, options);
   }
   // Kills the collector and starts it again on the same configuration and directories.
   void KillAndRestart()
   {
      salvor->Kill();
      salvor = std::make_unique<CollectorProcess>(SALVOR_BINARY, options);
   }
   CollectorOptions options;
   std::string Journal() const { return testutil::ReadFile(salvor->Dir() + "/log/dumps.jsonl"); }
   // The host's directory: data/127/0/0/2 for 127.0.0.2.
   std::string HostDir(const std::string &ip) const
   {
      std::string tail = ip;
      std::replace(tail.begin(), tail.end(), '.', '/');
      return salvor->DataDir() + "/" + tail;
   }
   std::vector<std::string> Files(const std::string &ip) const
   {
      return testutil::ListFiles(HostDir(ip));
   }
   // The one file of the host's, or a note of how many there are.
   std::string OnlyFile(const std::string &ip) const
   {
      std::vector<std::string> files = Files(ip);
      return files.size() == 1 ? testutil::ReadFile(HostDir(ip) + "/" + files[0])
                               : "<" + std::to_string(files.size()) + " files>";
   }
};

// Waits up to `seconds` for `done` to hold.
bool
WaitFor(const std::function<bool()> &done, int seconds = 15)
{
   for (int i = 0; i < seconds * 10; i++) {
      if (done()) {
         return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
   }
   return done();
}

}  // namespace

namespace {

// Whether a sealed status check from `host` is answered.
bool
Answered(SealedHost &host)
{
   salvorMsgHeader reply{};
   return host.Call(MakeHeader(SALVOR_MSG_STATUS_CHECK), "", &reply, 2) &&
          reply.status == hxk_success;
}

TEST(Sealed, DumpArrivesWholeAndAPlayedBackConversationChangesNothing)
{
   KeyLine web = NewKey("web1");
   testutil::TempDir side;
   std::string hook = testutil::WriteHook(side.Path(), "hook",
                                          "env | grep '^SALVOR_KEY=' > \"" + side.Path() + "/env\"\n",
                                          "");
   std::string metrics = side / "metrics.prom";
   SealedCollector c("# hosts\n" + web.line + "\n\n" + NewKey("db1").line + "\n", 0600,
                     "<dumpHook>" + hook + "</dumpHook><metricsFile>" + metrics + "</metricsFile>");
   ASSERT_TRUE(c.salvor->WaitReady()) << c.salvor->Console();
   std::string content = Bytes(300000, 3);
   SealedHost host("127.0.0.2", c.salvor->Port(), web);
   ASSERT_EQ(host.SendDump(77, content), hxk_success);
   EXPECT_TRUE(c.OnlyFile("127.0.0.2") == content) << "dump differs";
   std::string journal = c.Journal();
   EXPECT_NE(journal.find("\"key\":\"web1\""), std::string::npos) << journal;
   EXPECT_NE(journal.find("\"outcome\":\"complete\""), std::string::npos) << journal;
   EXPECT_TRUE(WaitFor([&] { return testutil::ReadFile(side / "env") == "SALVOR_KEY=web1\n"; }))
      << testutil::ReadFile(side / "env");
   // Everything the host sent, played again from the same address, and
   // again out of order: no new file, the bytes and journal as they were.
   std::string file = c.HostDir("127.0.0.2") + "/" + c.Files("127.0.0.2")[0];
   struct stat before;
   ASSERT_EQ(stat(file.c_str(), &before), 0);
   std::vector<std::vector<uint8_t>> sent = host.Sent();
   for (int round = 0; round < 2; round++) {
      for (const std::vector<uint8_t> &d : sent) {
         host.Peer().SendTo(d, host.Port());
      }
      std::reverse(sent.begin(), sent.end());
   }
   ASSERT_TRUE(Answered(host));  // every replayed datagram was handled before this
   struct stat after;
   ASSERT_EQ(stat(file.c_str(), &after), 0);
   EXPECT_EQ(c.Files("127.0.0.2").size(), 1u);
   EXPECT_TRUE(c.OnlyFile("127.0.0.2") == content);
   EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
   EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
   EXPECT_EQ(c.Journal(), journal);
   // Rewritten every 15 seconds.
   EXPECT_TRUE(WaitFor([&] {
      return testutil::ReadFile(metrics).find(
                "salvor_dumps_by_transport_total{transport=\"sealed\"} 1\n") != std::string::npos;
   }, 25)) << testutil::ReadFile(metrics);
}

TEST(Sealed, ChangedUnknownAndForgedDatagramsAreDroppedAndTheDumpStillCompletes)
{
   KeyLine web = NewKey("web1");
   SealedCollector c(web.line + "\n");
   ASSERT_TRUE(c.salvor->WaitReady()) << c.salvor->Console();
   SealedHost host("127.0.0.2", c.salvor->Port(), web);
   ASSERT_EQ(host.Begin(5), hxk_success);
   std::string content = Bytes(2000, 4);
   salvorMsgHeader hdr = host.WithToken(MakeHeader(SALVOR_MSG_DATA, 5, host.Slot()));
   hdr.dataLength = 1000;
   // Each byte position of a sealed data message, changed in turn: none
   // opens, none is answered.
   std::vector<uint8_t> good = host.Seal(hdr, content.substr(0, 1000));
   for (size_t at = 0; at < good.size(); at += 37) {
      std::vector<uint8_t> bad = good;
      bad[at] ^= 0x20;
      host.Peer().SendTo(bad, host.Port());
   }
   // A stranger's key, and the host's key identity on another key.
   KeyLine stranger = NewKey("web1");
   SealedHost strange("127.0.0.3", c.salvor->Port(), stranger);
   EXPECT_EQ(strange.SendDump(6, "x"), -1);
   KeyLine forged = stranger;
   std::memcpy(forged.id, web.id, sizeof forged.id);
   SealedHost forger("127.0.0.2", c.salvor->Port(), forged);
   EXPECT_EQ(forger.Begin(5, 2), -1);
   EXPECT_TRUE(host.Peer().Receive(200).empty());

   // The dump goes on as if those had been lost.
   EXPECT_EQ(host.Data(5, 0, content.substr(0, 1000)), hxk_success);
   EXPECT_EQ(host.Data(5, 1000, content.substr(1000)), hxk_success);
   EXPECT_EQ(host.Done(5), hxk_success);
   EXPECT_TRUE(c.OnlyFile("127.0.0.2") == content);
   EXPECT_TRUE(c.Files("127.0.0.3").empty());
   std::string log = c.salvor->Log();
   EXPECT_NE(log.find("does not open (badSeal)"), std::string::npos) << log;
   EXPECT_NE(log.find("does not open (unknownKey)"), std::string::npos) << log;
}

TEST(Sealed, PlainDatagramsAreRefusedOutsideAllowPlainFrom)
{
   KeyLine web = NewKey("web1");
   SealedCollector c(web.line + "\n");
   ASSERT_TRUE(c.salvor->WaitReady()) << c.salvor->Console();
   testutil::Host plain("127.0.0.3", c.salvor->Port());
   salvorMsgHeader reply;
   EXPECT_FALSE(plain.Peer().Request(Encode(MakeHeader(SALVOR_MSG_INIT, 9)), c.salvor->Port(),
                                     &reply, 500));
   EXPECT_FALSE(std::filesystem::exists(c.HostDir("127.0.0.3")));
   // Inside allowPlainFrom a plain host dumps as without keys.
   testutil::Host allowed("127.0.0.1", c.salvor->Port());
   uint32_t slot = allowed.Init(9);
   EXPECT_EQ(allowed.Data(9, slot, 0, "plain"), hxk_success);
   EXPECT_EQ(allowed.Done(9, slot), hxk_success);
   EXPECT_EQ(c.OnlyFile("127.0.0.1"), "plain");
   std::string log = c.salvor->Log();
   EXPECT_NE(log.find("from a host outside allowPlainFrom"), std::string::npos) << log;
}

// The collector's exit code and what it said, for a keys file that it refuses.
void
ExpectRefusedAtStart(const std::string &keys, mode_t mode, const std::string &why)
{
   SealedCollector c(keys, mode);
   EXPECT_NE(c.salvor->ExitCode(), 0);
   std::string said = c.salvor->Console() + c.salvor->Log();
   EXPECT_NE(said.find(why), std::string::npos) << said;
}

TEST(Sealed, KeysFileThatOthersMayReadOrThatIsMalformedStopsTheStart)
{
   KeyLine a = NewKey("a");
   KeyLine b = NewKey("b");
   ExpectRefusedAtStart(a.line + "\n", 0644, "others than its owner may read it");
   ExpectRefusedAtStart(a.line + "\n" + a.line + "\n", 0600, "line 2");
   ExpectRefusedAtStart(a.line + "\nb not-base64\n", 0600, "line 2");
   std::string sameName = "a " + b.line.substr(2);
   ExpectRefusedAtStart(a.line + "\n" + sameName + "\n", 0600, "line 2");
}

TEST(Sealed, ReloadTakesNewKeysKeepsDumpsInProgressAndEndsThoseOfARemovedKey)
{
   KeyLine a = NewKey("a");
   KeyLine b = NewKey("b");
   SealedCollector c(a.line + "\n");
   ASSERT_TRUE(c.salvor->WaitReady()) << c.salvor->Console();
   SealedHost hostA("127.0.0.2", c.salvor->Port(), a);
   SealedHost hostB("127.0.0.3", c.salvor->Port(), b);
   ASSERT_EQ(hostA.Begin(1), hxk_success);
   ASSERT_EQ(hostA.Data(1, 0, "first"), hxk_success);

   // b is added: heard within a few seconds; a's dump goes on.
   WriteKeys(c.keysPath, a.line + "\n" + b.line + "\n");
   EXPECT_TRUE(WaitFor([&] { return Answered(hostB); }));
   // A broken file leaves both keys in force, and says why.
   WriteKeys(c.keysPath, a.line + "\nbroken\n");
   EXPECT_TRUE(WaitFor([&] {
      return c.salvor->Log().find("The keys file was not reloaded") != std::string::npos;
   }));
   EXPECT_TRUE(Answered(hostB));
   ASSERT_EQ(hostA.Data(1, 5, "second"), hxk_success);
   ASSERT_EQ(hostA.Done(1), hxk_success);
   EXPECT_EQ(c.OnlyFile("127.0.0.2"), "firstsecond");

   // a's second dump is in progress when its key goes: its next datagram ends it.
   ASSERT_EQ(hostA.Begin(2), hxk_success);
   ASSERT_EQ(hostA.Data(2, 0, "partial"), hxk_success);
   WriteKeys(c.keysPath, b.line + "\n");
   EXPECT_TRUE(WaitFor([&] { return !Answered(hostA); }));
   EXPECT_EQ(hostA.Data(2, 7, "more"), -1);
   EXPECT_TRUE(WaitFor([&] {
      return c.Journal().find("\"outcome\":\"keyRevoked\"") != std::string::npos;
   })) << c.Journal();
   EXPECT_EQ(c.Files("127.0.0.2").size(), 2u);  // the partial dump's file stays
}

/*
 * A UDP relay on loopback: what a client sends to Port() goes on to the
 * collector from 127.0.0.5, and the collector's replies come back. Every
 * byte that passes, either way, is kept.
 */
class Relay {
public:
   explicit Relay(uint16_t collectorPort) : collector_(Address("127.0.0.1", collectorPort))
   {
      front_ = Bound("127.0.0.4");
      back_ = Bound("127.0.0.5");
      socklen_t len = sizeof(sockaddr_in);
      sockaddr_in a{};
      getsockname(front_, (sockaddr *)&a, &len);
      port_ = ntohs(a.sin_port);
      thread_ = std::thread([this] { Run(); });
   }
   ~Relay()
   {
      Stop();
      close(front_);
      close(back_);
   }
   uint16_t Port() const { return port_; }
   // Ends the relaying; then Wire() holds every byte that passed.
   void Stop()
   {
      stop_ = true;
      if (thread_.joinable()) {
         thread_.join();
      }
   }
   const std::string &Wire() const { return wire_; }

private:
   static sockaddr_in Address(const char *ip, uint16_t port)
   {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      inet_pton(AF_INET, ip, &a.sin_addr);
      return a;
   }
   static int Bound(const char *ip)
   {
      int fd = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in a = Address(ip, 0);
      bind(fd, (sockaddr *)&a, sizeof a);
      return fd;
   }
   void Run()
   {
      pollfd fds[2] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
      char buf[65536];
      while (!stop_) {
         if (poll(fds, 2, 50) <= 0) {
            continue;
         }
         sockaddr_in from{};
         socklen_t len = sizeof from;
         if (fds[0].revents & POLLIN) {
            ssize_t n = recvfrom(front_, buf, sizeof buf, 0, (sockaddr *)&from, &len);
            client_ = from;
            wire_.append(buf, n > 0 ? (size_t)n : 0);
            sendto(back_, buf, n > 0 ? (size_t)n : 0, 0, (sockaddr *)&collector_, sizeof collector_);
         }
         if (fds[1].revents & POLLIN) {
            ssize_t n = recvfrom(back_, buf, sizeof buf, 0, (sockaddr *)&from, &len);
            wire_.append(buf, n > 0 ? (size_t)n : 0);
            sendto(front_, buf, n > 0 ? (size_t)n : 0, 0, (sockaddr *)&client_, sizeof client_);
         }
      }
   }

   sockaddr_in collector_;
   sockaddr_in client_{};
   int front_ = -1;
   int back_ = -1;
   uint16_t port_ = 0;
   std::atomic<bool> stop_{false};
   std::string wire_;
   std::thread thread_;
};

TEST(Sealed, WhatTheClientSendsThroughARelayNeverShowsTheDumpsBytes)
{
   KeyLine host = NewKey("relayed");
   SealedCollector c(host.line + "\n");
   ASSERT_TRUE(c.salvor->WaitReady()) << c.salvor->Console();
   std::string keyFile = c.dir / "host.key";
   WriteKeys(keyFile, host.line + "\n");
   // A dump full of a marker, and random bytes so that it is no plain pattern.
   const std::string marker = "SECRET-MARKER-4f1c";
   std::string content;
   for (int i = 0; content.size() < 400000; i++) {
      content += marker + Bytes(64, (uint32_t)i);
   }
   testutil::WriteFile(c.dir / "dump", content);
   {
      Relay relay(c.salvor->Port());
      testutil::RunResult sent = testutil::Run(
         {SALVOR_SEND_PATH, "--quiet", "--key-file", keyFile, "--server",
          "127.0.0.4:" + std::to_string(relay.Port()), c.dir / "dump"});
      ASSERT_EQ(sent.exit.Code(), 0) << sent.err;
      relay.Stop();
      EXPECT_GT(relay.Wire().size(), content.size());
      EXPECT_EQ(relay.Wire().find(marker), std::string::npos) << "the marker crossed the wire";
      EXPECT_EQ(relay.Wire().find(content.substr(0, 1000)), std::string::npos);
   }
   EXPECT_TRUE(c.OnlyFile("127.0.0.5") == content) << "dump differs";
}

}  // namespace

namespace {

TEST(Sealed, ADumpGoesOnAfterARestartWithItsKeyAndToken)
{
   KeyLine key = NewKey("web-01");
   SealedCollector c(key.line + "\n", 0600, "<resumeDumps>true</resumeDumps>");
   ASSERT_TRUE(c.salvor->WaitReady()) << c.salvor->Console();
   SealedHost host("127.0.0.2", c.salvor->Port(), key);
   std::string content = Bytes(40 * SALVOR_MAX_PAYLOAD, 31);
   const int64_t ts = 7101;
   ASSERT_EQ(host.Begin(ts), hxk_success);
   size_t half = 20 * SALVOR_MAX_PAYLOAD;
   for (size_t at = 0; at < half; at += SALVOR_MAX_PAYLOAD) {
      ASSERT_EQ(host.Data(ts, (uint32_t)at, content.substr(at, SALVOR_MAX_PAYLOAD)), hxk_success);
   }
   c.KillAndRestart();
   ASSERT_TRUE(c.salvor->WaitReady()) << c.salvor->Console();
   host.SetPort(c.salvor->Port());
   // The same key and the same token still name the dump; another token does not.
   SealedHost stranger("127.0.0.2", c.salvor->Port(), key);
   salvorMsgHeader forged = MakeHeader(SALVOR_MSG_DATA, ts, host.Slot());
   forged.dataLength = 1;
   salvorMsgHeader reply{};
   ASSERT_TRUE(stranger.Call(forged, "x", &reply));
   EXPECT_EQ(reply.status, hxk_invalid_dump);
   for (size_t at = half; at < content.size(); at += SALVOR_MAX_PAYLOAD) {
      ASSERT_EQ(host.Data(ts, (uint32_t)at, content.substr(at, SALVOR_MAX_PAYLOAD)), hxk_success);
   }
   ASSERT_EQ(host.Done(ts), hxk_success);
   EXPECT_TRUE(c.OnlyFile("127.0.0.2") == content);
   std::string journal = c.Journal();
   EXPECT_NE(journal.find("\"key\":\"web-01\""), std::string::npos) << journal;
   EXPECT_NE(journal.find("\"outcome\":\"complete\""), std::string::npos) << journal;
   EXPECT_NE(journal.find("\"resumed\":1"), std::string::npos) << journal;
}

}  // namespace
