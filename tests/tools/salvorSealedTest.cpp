// The client's sealed conversation, through the library and through
// salvor-send, against the fake collector holding the host's key.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "protocol/salvorKeys.h"
#include "protocol/salvorSeal.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/tools/allocationCounter.h"
#include "tests/tools/fakeCollector.h"
#include "tests/tools/flatStream.h"
#include "tests/tools/toolsTestPlatform.h"
#include "tools/salvorClient.h"
#include "tools/toolsPlatform.h"

namespace {

using testutil::RandomBytes;
using testutil::RunResult;
using testutil::TempDir;
using testutil::TempFile;

// A new key of a host, and the keys-file line that holds it.
class HostKey {
public:
   explicit HostKey(const char *name)
   {
      uint8_t key[SALVOR_SEAL_KEY_SIZE];
      EXPECT_TRUE(SalvorSeal_MakeKey(key));
      line_ = SalvorKeys_FormatLine(name, key) + "\n";
      std::string why;
      EXPECT_TRUE(SalvorKeys_Parse(line_.data(), line_.size(), &keys_, &why)) << why;
   }
   ~HostKey() { SalvorKeys_Free(&keys_); }
   HostKey(const HostKey &) = delete;
   HostKey &operator=(const HostKey &) = delete;

   const SalvorKey *Key() const { return &keys_.keys[0]; }
   const std::string &Line() const { return line_; }

private:
   SalvorKeys keys_;
   std::string line_;
};

struct Outcome {
   SalvorResult result;
   SalvorSendStats stats;
};

SalvorSendOptions
Sealed(const HostKey &key, unsigned window = 32)
{
   SalvorSendOptions opts;
   opts.timeout = std::chrono::milliseconds(20);
   opts.retries = 50;
   opts.window = window;
   opts.key = key.Key();
   return opts;
}

Outcome
Send(const FakeCollector &fake, const std::vector<uint8_t> &content, const SalvorSendOptions &opts)
{
   TempFile file(content);
   int fd = ToolsPlat_OpenRead(file.Path().c_str());
   SalvorClient client;
   Outcome out;
   out.result = client.Open(fake.Address());
   if (out.result) {
      out.result = client.SendDump(fd, content.size(), opts, &out.stats);
   }
   ToolsPlat_Close(fd);
   return out;
}

std::string
NoSealedAnswer(const std::string &server)
{
   return "no sealed answer from " + server + ": is this host's key in the collector's keys file?";
}

// Every data and done message carries the init's token; replies lost,
// reordered, or forged (refusals sealed with another key, and plain) are
// as if lost.
TEST(SalvorSealed, DumpArrivesWholeCarryingTheTokenPastForgedReplies)
{
   HostKey host("host"), other("other");
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 100 + 9, 3);
   struct Case {
      unsigned window;
      unsigned dropEvery, swapEvery;  // replies the collector drops, and reorders
      double shimLoss;                // datagrams the client's shim drops and delays
   } cases[] = {{1, 5, 3, 0}, {32, 5, 3, 0}, {32, 0, 0, 0.1}};
   for (const Case &c : cases) {
      SCOPED_TRACE("window " + std::to_string(c.window) + ", loss " + std::to_string(c.shimLoss));
      FakeCollector fake({.dropEvery = c.dropEvery,
                          .swapEvery = c.swapEvery,
                          .key = host.Key(),
                          .forgeKey = other.Key()});
      SalvorSendOptions opts = Sealed(host, c.window);
      opts.testLoss = c.shimLoss;
      opts.timestamp = 77;
      Outcome out = Send(fake, content, opts);
      ASSERT_TRUE(out.result) << out.result.message;
      std::vector<FakeCollector::Dump> dumps = fake.Dumps();
      ASSERT_EQ(dumps.size(), 1u);
      EXPECT_TRUE(dumps[0].done);
      EXPECT_TRUE(dumps[0].data == content);
      EXPECT_EQ(fake.Seen().badToken, 0u);
      EXPECT_EQ(fake.Seen().unopened, 0u);
      EXPECT_GT(out.stats.retransmits, 0u);
      if (c.shimLoss > 0) {
         EXPECT_GT(out.stats.windowCuts, 0u);
      }
   }
}

// A collector that stops for a while costs a handful of resends, not the
// window: the replies still say which send they answer.
TEST(SalvorSealed, StallCostsAHandfulOfResends)
{
   HostKey host("host");
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 400);
   FakeCollector fake({.stallAtData = 100, .stallMs = 400, .key = host.Key()});
   Outcome out = Send(fake, content, Sealed(host));
   ASSERT_TRUE(out.result) << out.result.message;
   EXPECT_TRUE(fake.Dumps()[0].data == content);
   EXPECT_LE(out.stats.retransmits, 8u);
}

// A collector that does not know the key is silent; one that answers with
// another key is as good as silent. Either way the client says so exactly.
TEST(SalvorSealed, NoSealedAnswerIsReportedAsAKeyMissingAtTheCollector)
{
   HostKey host("host"), other("other");
   FakeCollector unknown({.key = other.Key()});
   FakeCollector wrongReplies({.key = host.Key(), .replyKey = other.Key()});
   for (const FakeCollector *fake : {&unknown, &wrongReplies}) {
      SalvorSendOptions opts = Sealed(host);
      opts.timeout = std::chrono::milliseconds(10);
      opts.retries = 2;
      SalvorClient client;
      ASSERT_TRUE(client.Open(fake->Address()));
      SalvorResult status = client.StatusCheck(opts);
      EXPECT_EQ(status.kind, SalvorResult::NoAnswer);
      EXPECT_EQ(status.message, NoSealedAnswer(fake->Server()));
      SalvorSendStats stats;
      std::unique_ptr<SalvorDumpSource> none = SalvorFileSource(-1, 0);
      SalvorResult dump = client.SendDump(*none, opts, &stats);
      EXPECT_EQ(dump.kind, SalvorResult::NoAnswer);
      EXPECT_EQ(dump.message, NoSealedAnswer(fake->Server()));
   }
   EXPECT_EQ(unknown.Seen().unopened, 6u);
   EXPECT_EQ(wrongReplies.Seen().status, 3u);
   EXPECT_EQ(wrongReplies.Seen().init, 3u);
}

// The collector makes a sealed dump's file on its first data message, or
// on the done of an empty dump: a refusal then reads as the init's.
TEST(SalvorSealed, CreateFailureAfterTheInitIsReportedAsTheInitsRefusal)
{
   HostKey host("host");
   struct Case {
      size_t size;
      uint32_t status;
      const char *message;
   } cases[] = {
      {SALVOR_MAX_PAYLOAD * 10, hxk_create_failed, "collector refused the init: hxk_create_failed"},
      {0, hxk_limit_exceeded, "collector refused the init: hxk_limit_exceeded"},
   };
   for (const Case &c : cases) {
      FakeCollector fake({.key = host.Key(), .createStatus = c.status});
      Outcome out = Send(fake, RandomBytes(c.size), Sealed(host));
      EXPECT_EQ(out.result.kind, SalvorResult::Refused);
      EXPECT_EQ(out.result.status, c.status);
      EXPECT_EQ(out.result.message, c.message);
   }
}

// A collector that falls silent for a while, or comes back without the
// dump, is waited for, or sent the dump again, as in a plain conversation:
// the dump's token is the one of the init that was answered last.
TEST(SalvorSealed, SilenceIsRiddenOutAndALostDumpSentAgain)
{
   HostKey host("host");
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 300 + 5);
   SalvorSendOptions opts = Sealed(host);
   opts.retries = 0;  // without the wait, the first timeout would end the dump
   opts.wait = std::chrono::seconds(20);
   {
      FakeCollector fake({.key = host.Key(), .silentAtData = 100, .silentMs = 1000});
      Outcome out = Send(fake, content, opts);
      ASSERT_TRUE(out.result) << out.result.message;
      EXPECT_EQ(out.stats.restarts, 0u);
      ASSERT_EQ(fake.Dumps().size(), 1u);
      EXPECT_TRUE(fake.Dumps()[0].data == content);
      EXPECT_EQ(fake.Seen().badToken, 0u);
   }
   {
      FakeCollector fake({.key = host.Key(), .forgetAtData = 100});
      Outcome out = Send(fake, content, opts);
      ASSERT_TRUE(out.result) << out.result.message;
      EXPECT_EQ(out.stats.restarts, 1u);
      ASSERT_EQ(fake.Dumps().size(), 1u);
      EXPECT_TRUE(fake.Dumps()[0].data == content);
      EXPECT_TRUE(fake.Dumps()[0].done);
   }
}

// Sealing and opening use buffers made once per dump: a dump twenty
// times as long, with as many more replies lost and messages resent,
// costs the client no more allocations.
TEST(SalvorSealed, NoAllocationPerDatagram)
{
   HostKey host("host");
   auto allocationsFor = [&host](size_t chunks) {
      FakeCollector fake({.dropEvery = 7, .swapEvery = 3, .key = host.Key()});
      std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * chunks);
      TempFile file(content);
      int fd = ToolsPlat_OpenRead(file.Path().c_str());
      SalvorClient client;
      EXPECT_TRUE(client.Open(fake.Address()));
      SalvorSendOptions opts = Sealed(host);
      SalvorSendStats stats;
      uint64_t before = toolstest::AllocationsOnThisThread();
      SalvorResult res = client.SendDump(fd, content.size(), opts, &stats);
      uint64_t made = toolstest::AllocationsOnThisThread() - before;
      ToolsPlat_Close(fd);
      EXPECT_TRUE(res) << res.message;
      EXPECT_GT(stats.retransmits, 0u);
      return made;
   };
   allocationsFor(20);  // what a thread makes once for its first dump is not counted
   uint64_t small = allocationsFor(20);
   EXPECT_GT(small, 0u);  // the count works: a dump has its ring
   EXPECT_EQ(allocationsFor(400), small);
}

// salvor-send with a key file: a flattened dump on standard input over
// IPv6, and the status check.
RunResult
RunSend(std::vector<std::string> args)
{
   args.insert(args.begin(), SALVOR_SEND_PATH);
   return testutil::Run(args);
}

std::string
WriteKeyFile(const TempDir &dir, const std::string &name, const std::string &text)
{
   std::string path = dir / name;
   testutil::WriteFile(path, text);
   EXPECT_TRUE(toolstest::MakeOwnerOnly(path));
   return path;
}

TEST(SalvorSendSealed, FlatStandardInputOverIPv6)
{
   HostKey host("host");
   TempDir dir;
   std::string keyFile = WriteKeyFile(dir, "host.key", host.Line());
   std::vector<FlatRecord> records = {
      {60000, RandomBytes(30000, 1)}, {0, RandomBytes(5000, 2)}, {59000, RandomBytes(3000, 3)}};
   FakeCollector fake({.dropEvery = 6, .ipv6 = true, .key = host.Key()});
   RunResult r = toolstest::RunFed({SALVOR_SEND_PATH, "--server", fake.Server(), "--key-file",
                                    keyFile, "--flat", "--window", "8", "--timeout", "20", "-"},
                                   FlatStream(records));
   ASSERT_EQ(r.exit.Code(), 0) << r.err;
   std::vector<FakeCollector::Dump> dumps = fake.Dumps();
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_TRUE(dumps[0].done);
   EXPECT_TRUE(std::string(dumps[0].data.begin(), dumps[0].data.end()) == FlatRebuilt(records));
   EXPECT_EQ(fake.Seen().badToken, 0u);
}

TEST(SalvorSendSealed, StatusCheckAndItsKeyFile)
{
   HostKey host("host"), other("other");
   TempDir dir;
   std::string keyFile = WriteKeyFile(dir, "host.key", host.Line());
   {
      FakeCollector fake({.key = host.Key()});
      RunResult r = RunSend({"--status", "--server", fake.Server(), "--key-file", keyFile});
      EXPECT_EQ(r.exit.Code(), 0) << r.err;
      EXPECT_EQ(fake.Seen().status, 1u);
   }
   {
      FakeCollector fake({.key = other.Key()});
      RunResult r = RunSend({"--status", "--server", fake.Server(), "--key-file", keyFile,
                             "--timeout", "10", "--retries", "1"});
      EXPECT_EQ(r.exit.Code(), 1);
      EXPECT_EQ(r.err.substr(0, r.err.find_last_not_of("\r\n") + 1),
                "salvor-send: " + NoSealedAnswer(fake.Server()));
   }
   // Bad key files are bad arguments.
   std::string two = WriteKeyFile(dir, "two.key", host.Line() + other.Line());
   for (const std::string &path : {two, dir / "missing.key"}) {
      RunResult r = RunSend({"--status", "--key-file", path});
      EXPECT_EQ(r.exit.Code(), 2) << path;
      EXPECT_NE(r.err.find("keys file \"" + path + "\""), std::string::npos) << r.err;
   }
   RunResult r = RunSend({"--status", "--key-file", two});
   EXPECT_NE(r.err.find("holds 2 keys"), std::string::npos) << r.err;
}

}  // namespace
