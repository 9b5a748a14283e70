// The client library against an in-process fake collector.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "protocol/salvorProto.h"
#include "tests/support/testFiles.h"
#include "tests/support/testPlatform.h"
#include "tests/tools/fakeCollector.h"
#include "tests/tools/flatStream.h"
#include "tests/tools/toolsTestPlatform.h"
#include "tools/salvorClient.h"
#include "tools/toolsPlatform.h"

namespace {

using testutil::RandomBytes;
using testutil::TempFile;

struct SendOutcome {
   SalvorResult result;
   SalvorSendStats stats;
};

SendOutcome
Send(const FakeCollector &fake, const std::vector<uint8_t> &content, SalvorSendOptions opts)
{
   TempFile file(content);
   int fd = ToolsPlat_OpenRead(file.Path().c_str());
   SalvorClient client;
   SendOutcome out;
   out.result = client.Open(fake.Address());
   if (out.result) {
      out.result = client.SendDump(fd, content.size(), opts, &out.stats);
   }
   ToolsPlat_Close(fd);
   return out;
}

SalvorSendOptions
Quick()
{
   SalvorSendOptions opts;
   opts.timeout = std::chrono::milliseconds(20);
   opts.retries = 50;
   return opts;
}

TEST(SalvorClient, DumpArrivesByteExactDespiteLostAndReorderedReplies)
{
   // Not a multiple of the payload size, so the last message is short.
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 300 + 17);
   for (unsigned window : {1u, 7u, 32u}) {
      SCOPED_TRACE("window " + std::to_string(window));
      FakeCollector fake({.dropEvery = 5, .swapEvery = 3});
      SalvorSendOptions opts = Quick();
      opts.window = window;
      opts.timestamp = 1234;
      SendOutcome out = Send(fake, content, opts);
      ASSERT_TRUE(out.result) << out.result.message;

      std::vector<FakeCollector::Dump> dumps = fake.Dumps();
      ASSERT_EQ(dumps.size(), 1u);
      EXPECT_EQ(dumps[0].timestamp, 1234);
      EXPECT_TRUE(dumps[0].done);
      EXPECT_TRUE(dumps[0].data == content);
      EXPECT_EQ(out.stats.dumpID, 5u);
      EXPECT_EQ(out.stats.bytes, content.size());
      EXPECT_GT(out.stats.retransmits, 0u);
      EXPECT_EQ(out.stats.datagrams, fake.Seen().init + fake.Seen().data + fake.Seen().done);
   }
}

// The client's own shim drops and reorders datagrams both ways; the dump
// still arrives whole, and the losses cut the window.
TEST(SalvorClient, DumpArrivesByteExactThroughTheLossShim)
{
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 400 + 5);
   FakeCollector fake(FakeCollector::Behaviour{});
   SalvorSendOptions opts = Quick();
   opts.testLoss = 0.1;
   opts.testLossSeed = 7;
   SendOutcome out = Send(fake, content, opts);
   ASSERT_TRUE(out.result) << out.result.message;
   std::vector<FakeCollector::Dump> dumps = fake.Dumps();
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_TRUE(dumps[0].data == content);
   EXPECT_GT(out.stats.retransmits, 0u);
   EXPECT_GT(out.stats.windowCuts, 0u);
   // Both directions lose: the collector saw fewer requests than were sent.
   EXPECT_LT(fake.Seen().init + fake.Seen().data + fake.Seen().done, out.stats.datagrams);
}

// A collector that stops for a while finds every message in flight late at
// once: the client resends one per timeout, not the window, and a real
// loss is resent as soon as later messages are answered, long before the
// (here huge) timeout.
TEST(SalvorClient, StallCostsOneResendAndOvertakenMessagesGoAgainAtOnce)
{
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 400);
   {
      FakeCollector fake({.stallAtData = 100, .stallMs = 400});
      SalvorSendOptions opts = Quick();
      opts.window = 32;
      SendOutcome out = Send(fake, content, opts);
      ASSERT_TRUE(out.result) << out.result.message;
      EXPECT_TRUE(fake.Dumps()[0].data == content);
      // Timeouts of 20 ms and more, doubling, run out a few times while
      // it stops: a handful of resends, not the window of 32.
      EXPECT_LE(out.stats.retransmits, 8u);
   }
   {
      FakeCollector fake({.dropEvery = 50});
      SalvorSendOptions opts;
      opts.window = 32;
      opts.timeout = std::chrono::seconds(30);  // the dump is done long before
      opts.retries = 1;
      SendOutcome out = Send(fake, content, opts);
      ASSERT_TRUE(out.result) << out.result.message;
      EXPECT_TRUE(fake.Dumps()[0].data == content);
      EXPECT_GE(out.stats.retransmits, 7u);
      EXPECT_GT(out.stats.windowCuts, 0u);
   }
}

// A collector that does not echo the reserved bytes leaves each reply to a
// resent message unattributed: the client still gets every byte across.
TEST(SalvorClient, RepliesThatNameNoSendStillCarryTheDump)
{
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 300 + 1);
   FakeCollector fake({.dropEvery = 7, .swapEvery = 4, .zeroReserved = true});
   SendOutcome out = Send(fake, content, Quick());
   ASSERT_TRUE(out.result) << out.result.message;
   EXPECT_TRUE(fake.Dumps()[0].data == content);
   EXPECT_GT(out.stats.retransmits, 0u);
}

TEST(SalvorCongestion, WindowStartsSmallGrowsWithRepliesAndHalvesOncePerLoss)
{
   using namespace std::chrono;
   using Clock = SalvorCongestion::Clock;
   SalvorCongestion cc(32, milliseconds(200));
   EXPECT_EQ(cc.Window(), SalvorCongestion::SALVOR_INITIAL_WINDOW);
   Clock::time_point t{};
   for (int i = 0; i < 100; i++) {
      cc.OnReply(t, t + milliseconds(1), false);
   }
   EXPECT_EQ(cc.Window(), 32u) << "never beyond the largest window";

   t += seconds(1);
   cc.OnLoss(t - milliseconds(50), t);
   EXPECT_EQ(cc.Window(), 16u);
   // Messages sent before the cut were part of the same loss.
   cc.OnLoss(t - milliseconds(10), t + milliseconds(1));
   EXPECT_EQ(cc.Window(), 16u);
   // Beyond the threshold, the window grows by about one per window of replies.
   for (int i = 0; i < 15; i++) {
      cc.OnReply(t, t + milliseconds(1), false);
   }
   EXPECT_EQ(cc.Window(), 16u);
   cc.OnReply(t, t + milliseconds(1), false);
   cc.OnReply(t, t + milliseconds(1), false);
   EXPECT_EQ(cc.Window(), 17u);
   for (int i = 0; i < 10; i++) {
      t += seconds(1);
      cc.OnLoss(t, t);
   }
   EXPECT_EQ(cc.Window(), 1u) << "one message always stays in flight";
   SalvorCongestion one(1, milliseconds(200));
   EXPECT_EQ(one.Window(), 1u);
}

TEST(SalvorCongestion, TimeoutFollowsTheMeasuredRoundTripAndBacksOff)
{
   using namespace std::chrono;
   using Clock = SalvorCongestion::Clock;
   SalvorCongestion cc(32, milliseconds(200));
   EXPECT_EQ(cc.Timeout(1), milliseconds(200));
   EXPECT_EQ(cc.Timeout(3), milliseconds(800));
   Clock::time_point t{};
   // Steady 30 ms round trips: the variation shrinks toward nothing.
   for (int i = 0; i < 50; i++) {
      cc.OnReply(t, t + milliseconds(30), false);
   }
   EXPECT_EQ(duration_cast<milliseconds>(cc.SmoothedRtt()), milliseconds(30));
   EXPECT_GE(cc.Timeout(1), milliseconds(30));
   EXPECT_LT(cc.Timeout(1), milliseconds(40));
   // A resent message's reply is not measured: it may answer either send.
   cc.OnReply(t, t + seconds(1), true);
   EXPECT_EQ(duration_cast<milliseconds>(cc.SmoothedRtt()), milliseconds(30));
   // Each resend doubles the wait, up to the ceiling.
   EXPECT_GE(cc.Timeout(2), 2 * cc.Timeout(1) - microseconds(1));
   EXPECT_EQ(cc.Timeout(40), SalvorCongestion::SALVOR_MAX_RTO);
   // A loss found by a timeout doubles the wait until the next round trip
   // is measured; one found otherwise does not.
   microseconds measured = cc.Timeout(1);
   cc.OnLoss(t, t + seconds(2));
   EXPECT_EQ(cc.Timeout(1), measured);
   cc.OnTimeout(t, t + seconds(3));
   EXPECT_EQ(cc.Timeout(1), 2 * measured);
   cc.OnReply(t, t + milliseconds(30), true);
   EXPECT_EQ(cc.Timeout(1), 2 * measured) << "a resent message's reply measures nothing";
   cc.OnReply(t, t + milliseconds(30), false);
   EXPECT_LT(cc.Timeout(1), milliseconds(40));
   // Loopback round trips of microseconds still wait the floor.
   for (int i = 0; i < 50; i++) {
      cc.OnReply(t, t + microseconds(40), false);
   }
   EXPECT_EQ(cc.Timeout(1), SalvorCongestion::SALVOR_MIN_RTO);
}

// A collector that answers again after a silence meets a window that
// starts small and grows fast again, and a timeout back at the round trip.
TEST(SalvorCongestion, RestartAfterASilenceStartsSmallWithoutTheBackOff)
{
   using namespace std::chrono;
   using Clock = SalvorCongestion::Clock;
   SalvorCongestion cc(32, milliseconds(200));
   Clock::time_point t{};
   for (int i = 0; i < 100; i++) {
      cc.OnReply(t, t + milliseconds(30), false);
   }
   microseconds measured = cc.Timeout(1);
   for (int i = 1; i <= 10; i++) {
      cc.OnTimeout(t + seconds(i), t + seconds(i));
   }
   ASSERT_EQ(cc.Window(), 1u);
   ASSERT_EQ(cc.Timeout(1), SalvorCongestion::SALVOR_MAX_RTO);

   Clock::time_point back = t + seconds(20);
   cc.Restart(back);
   EXPECT_EQ(cc.Window(), SalvorCongestion::SALVOR_INITIAL_WINDOW);
   EXPECT_EQ(cc.Timeout(1), measured);
   // What went into the silence is lost already: no second cut for it.
   cc.OnLoss(back - seconds(1), back + milliseconds(1));
   EXPECT_EQ(cc.Window(), SalvorCongestion::SALVOR_INITIAL_WINDOW);
   for (int i = 0; i < 4; i++) {
      cc.OnReply(back, back + milliseconds(30), false);
   }
   EXPECT_EQ(cc.Window(), 2 * SalvorCongestion::SALVOR_INITIAL_WINDOW) << "slow start again";
}

TEST(SalvorClient, MessageCountFollowsFileSize)
{
   struct Case {
      size_t size;
      unsigned dataMessages;
   } cases[] = {
      {0, 0},
      {1, 1},
      {SALVOR_MAX_PAYLOAD, 1},
      {SALVOR_MAX_PAYLOAD + 1, 2},
   };
   for (const Case &c : cases) {
      SCOPED_TRACE("size " + std::to_string(c.size));
      FakeCollector fake;
      std::vector<uint8_t> content = RandomBytes(c.size, (uint32_t)c.size);
      // Nothing is lost: a timeout that never runs out keeps the counts exact.
      SalvorSendOptions opts;
      opts.timeout = std::chrono::seconds(30);
      SendOutcome out = Send(fake, content, opts);
      ASSERT_TRUE(out.result) << out.result.message;
      FakeCollector::Counts seen = fake.Seen();
      EXPECT_EQ(seen.init, 1u);
      EXPECT_EQ(seen.data, c.dataMessages);
      EXPECT_EQ(seen.done, 1u);
      ASSERT_EQ(fake.Dumps().size(), 1u);
      EXPECT_TRUE(fake.Dumps()[0].data == content);
      EXPECT_TRUE(fake.Dumps()[0].done);
   }
}

TEST(SalvorClient, RefusalsCarryTheStatusName)
{
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 40);
   SalvorSendOptions noWait = Quick();
   noWait.wait = std::chrono::seconds(0);  // a full collector is not waited for
   {
      FakeCollector fake({.initStatus = hxk_limit_exceeded});
      SendOutcome out = Send(fake, content, noWait);
      EXPECT_EQ(out.result.kind, SalvorResult::Refused);
      EXPECT_EQ(out.result.status, hxk_limit_exceeded);
      EXPECT_EQ(out.result.message, "collector refused the init: hxk_limit_exceeded");
      EXPECT_EQ(fake.Seen().data, 0u);
   }
   {
      uint32_t at = SALVOR_MAX_PAYLOAD * 20;
      FakeCollector fake({.dataStatus = hxk_write_failed, .failAtOffset = at});
      SendOutcome out = Send(fake, content, Quick());
      EXPECT_EQ(out.result.kind, SalvorResult::Refused);
      EXPECT_NE(out.result.message.find("hxk_write_failed"), std::string::npos)
         << out.result.message;
      EXPECT_EQ(fake.Seen().done, 0u);
   }
   {
      FakeCollector fake({.initStatus = 0x0BAD7777});
      SendOutcome out = Send(fake, content, Quick());
      EXPECT_EQ(out.result.message, "collector refused the init: unknown status 0xbad7777");
   }
}

TEST(SalvorClient, SilentCollectorIsReportedAfterTheRetries)
{
   FakeCollector fake({.silent = true});
   SalvorSendOptions opts;
   opts.timeout = std::chrono::milliseconds(10);
   opts.retries = 3;
   SendOutcome out = Send(fake, RandomBytes(100), opts);
   EXPECT_EQ(out.result.kind, SalvorResult::NoAnswer);
   EXPECT_EQ(out.result.message,
             "no answer from the collector at " + fake.Server() + " to the init after 4 attempts");
   EXPECT_EQ(fake.Seen().init, 4u);
   EXPECT_EQ(fake.Seen().data, 0u);

   SalvorClient client;
   ASSERT_TRUE(client.Open(fake.Address()));
   EXPECT_EQ(client.StatusCheck(opts).kind, SalvorResult::NoAnswer);
}

TEST(SalvorClient, CollectorFallingSilentMidStreamIsReportedWhenNotWaitedFor)
{
   FakeCollector fake({.dropEvery = 1});  // answers init, never a data message
   SalvorSendOptions opts;
   opts.timeout = std::chrono::milliseconds(10);
   opts.retries = 2;
   opts.wait = std::chrono::seconds(0);
   opts.window = 4;
   SendOutcome out = Send(fake, RandomBytes(SALVOR_MAX_PAYLOAD * 10), opts);
   EXPECT_EQ(out.result.kind, SalvorResult::NoAnswer);
   EXPECT_NE(out.result.message.find("to the data at offset"), std::string::npos)
      << out.result.message;
   EXPECT_NE(out.result.message.find("after 3 attempts"), std::string::npos)
      << out.result.message;
   EXPECT_EQ(fake.Seen().done, 0u);
}

TEST(SalvorClient, CollectorGoneMidStreamIsReportedAtItsFirstRefusalsWhenNotWaitedFor)
{
   if (TestUnderWine()) {
      GTEST_SKIP() << "Wine reports no refusal (ICMP port unreachable) of a UDP datagram; "
                      "real Windows does, as WSAECONNRESET";
   }
   // Answers the init, never a data message, and goes away once the init
   // is in: the data then meets a closed port.
   auto fake = std::make_unique<FakeCollector>(FakeCollector::Behaviour{.dropEvery = 1});
   NetAddr addr = fake->Address();
   std::thread closer([&fake] {
      while (fake->Seen().init == 0) {
         std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      fake.reset();
   });
   TempFile file(RandomBytes(SALVOR_MAX_PAYLOAD * 100));
   int fd = ToolsPlat_OpenRead(file.Path().c_str());
   SalvorClient client;
   ASSERT_TRUE(client.Open(addr));
   SalvorSendOptions opts;
   opts.timeout = std::chrono::milliseconds(20);
   opts.retries = 1000000;  // without the refusals, it would go on and on
   opts.wait = std::chrono::seconds(0);
   SalvorSendStats stats;
   SalvorResult res = client.SendDump(fd, SALVOR_MAX_PAYLOAD * 100, opts, &stats);
   ToolsPlat_Close(fd);
   closer.join();
   EXPECT_EQ(res.kind, SalvorResult::NoAnswer);
   EXPECT_NE(res.message.find("connection refused by 127.0.0.1:" + std::to_string(addr.port)),
             std::string::npos)
      << res.message;
   EXPECT_NE(res.message.find("gave up the data after 3 refusals"), std::string::npos)
      << res.message;
}

TEST(SalvorClient, TooLargeDumpIsRefusedBeforeSending)
{
   FakeCollector fake;
   SalvorClient client;
   ASSERT_TRUE(client.Open(fake.Address()));
   SalvorSendStats stats;
   // The size check comes before any read, so no real file is needed.
   SalvorResult res = client.SendDump(-1, SALVOR_MAX_DUMP_SIZE + 1, Quick(), &stats);
   EXPECT_EQ(res.kind, SalvorResult::Failed);
   EXPECT_NE(res.message.find("4 GiB"), std::string::npos);
   EXPECT_EQ(fake.Seen().init, 0u);
}

TEST(SalvorClient, FileShorterThanAnnouncedFails)
{
   FakeCollector fake;
   TempFile file(RandomBytes(1000));
   int fd = ToolsPlat_OpenRead(file.Path().c_str());
   SalvorClient client;
   ASSERT_TRUE(client.Open(fake.Address()));
   SalvorSendStats stats;
   SalvorResult res = client.SendDump(fd, 5000, Quick(), &stats);
   ToolsPlat_Close(fd);
   EXPECT_EQ(res.kind, SalvorResult::Failed);
   EXPECT_NE(res.message.find("shorter"), std::string::npos) << res.message;
}

// Sends what `source` gives to the fake collector.
SendOutcome
SendSource(const FakeCollector &fake, SalvorDumpSource &source, SalvorSendOptions opts)
{
   SalvorClient client;
   SendOutcome out;
   out.result = client.Open(fake.Address());
   if (out.result) {
      out.result = client.SendDump(source, opts, &out.stats);
   }
   return out;
}

std::string
AsString(const std::vector<uint8_t> &bytes)
{
   return std::string(bytes.begin(), bytes.end());
}

TEST(SalvorClient, FlatRecordsLandAtTheirOffsetsAndLaterBytesWin)
{
   // Out of order, overlapping, larger than many messages, with a
   // hole; replies lost and reordered, datagrams lost and delayed.
   std::vector<FlatRecord> records = {
      {100000, RandomBytes(50000, 1)}, {0, RandomBytes(4096, 2)},
      {90000, RandomBytes(20000, 3)},
      {1000, RandomBytes(1552, 4)},    {149000, RandomBytes(3000, 5)},
      {1001, RandomBytes(10, 6)},
   };
   TempFile file(RandomBytes(0));
   testutil::WriteFile(file.Path(), FlatStream(records));
   int fd = ToolsPlat_OpenRead(file.Path().c_str());
   std::unique_ptr<SalvorDumpSource> source = SalvorFlatSource(fd);
   FakeCollector fake({.dropEvery = 7, .swapEvery = 3});
   SalvorSendOptions opts = Quick();
   opts.testLoss = 0.05;
   SendOutcome out = SendSource(fake, *source, opts);
   ToolsPlat_Close(fd);
   ASSERT_TRUE(out.result) << out.result.message;
   std::vector<FakeCollector::Dump> dumps = fake.Dumps();
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_TRUE(dumps[0].done);
   EXPECT_TRUE(AsString(dumps[0].data) == FlatRebuilt(records));
   EXPECT_EQ(out.stats.bytes, 50000u + 4096 + 20000 + 1552 + 3000 + 10);
}

TEST(SalvorClient, PipeOfUnknownSizeIsSentToItsEnd)
{
   std::vector<uint8_t> content = RandomBytes(700 * 1000 + 5, 9);
   int fds[2];
   ASSERT_TRUE(toolstest::OpenPipe(fds));
   std::thread writer([&] {
      size_t at = 0;
      while (at < content.size()) {
         long n = toolstest::Write(fds[1], content.data() + at,
                                   std::min<size_t>(7000, content.size() - at));
         if (n <= 0) {
            break;
         }
         at += (size_t)n;
      }
      toolstest::Close(fds[1]);
   });
   std::unique_ptr<SalvorDumpSource> source = SalvorStreamSource(fds[0]);
   FakeCollector fake({.dropEvery = 9});
   SalvorSendOptions opts = Quick();
   opts.window = 8;  // a small ring: the pipe's bytes are kept in it
   SendOutcome out = SendSource(fake, *source, opts);
   writer.join();
   toolstest::Close(fds[0]);
   ASSERT_TRUE(out.result) << out.result.message;
   std::vector<FakeCollector::Dump> dumps = fake.Dumps();
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_TRUE(dumps[0].done);
   EXPECT_TRUE(dumps[0].data == content);
   EXPECT_EQ(out.stats.bytes, content.size());
}

TEST(SalvorClient, BrokenFlatStreamsAreReported)
{
   struct Case {
      std::string stream;
      std::string error;
      bool init;  // a bad header is found before the init
   };
   std::string whole = FlatStream({{0, RandomBytes(5000)}});
   std::string badOffset = FlatStream({{0, RandomBytes(10)}}, false);
   badOffset += std::string(8, '\xff') + std::string(7, '\0') + "\x01";
   std::vector<Case> cases = {
      {"", "not a flattened dump", false},
      {"makedumpfile", "not a flattened dump", false},
      {"elf" + whole.substr(3), "not a flattened dump", false},
      {FlatStream({{0, RandomBytes(3000)}}, false), "ends without its end marker", true},
      {whole.substr(0, whole.size() - 16 - 100), "ends inside a record", true},
      {badOffset, "bad record", true},
      {FlatStream({{0, RandomBytes(10)}, {10, {}}}), "size 0", true},
   };
   for (const Case &c : cases) {
      TempFile file(RandomBytes(0));
      testutil::WriteFile(file.Path(), c.stream);
      int fd = ToolsPlat_OpenRead(file.Path().c_str());
      std::unique_ptr<SalvorDumpSource> source = SalvorFlatSource(fd);
      FakeCollector fake;
      SendOutcome out = SendSource(fake, *source, Quick());
      ToolsPlat_Close(fd);
      EXPECT_EQ(out.result.kind, SalvorResult::Failed) << c.error;
      EXPECT_NE(out.result.message.find(c.error), std::string::npos) << out.result.message;
      // A slow reply may have the init sent again.
      EXPECT_EQ(fake.Seen().init > 0, c.init) << c.error;
      EXPECT_EQ(fake.Seen().done, 0u) << c.error;
   }
}

TEST(SalvorClient, StreamPastFourGiBFailsBeforeWrappingAround)
{
   TempFile file(RandomBytes(0));
   testutil::WriteFile(file.Path(),
                       FlatStream({{SALVOR_MAX_DUMP_SIZE - 10, RandomBytes(20)}}));
   int fd = ToolsPlat_OpenRead(file.Path().c_str());
   std::unique_ptr<SalvorDumpSource> source = SalvorFlatSource(fd);
   FakeCollector fake;
   SendOutcome out = SendSource(fake, *source, Quick());
   ToolsPlat_Close(fd);
   EXPECT_EQ(out.result.kind, SalvorResult::Failed);
   EXPECT_NE(out.result.message.find("past 4 GiB"), std::string::npos) << out.result.message;
   EXPECT_EQ(fake.Seen().data, 0u);
}

}  // namespace
