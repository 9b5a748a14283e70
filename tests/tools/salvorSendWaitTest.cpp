// salvor-send against a collector that goes away in the middle of a dump
// and comes back, that is full, or that comes back without the dump.
#include <gtest/gtest.h>

#include <chrono>

#include "protocol/salvorProto.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/support/testPlatform.h"
#include "tests/tools/fakeCollector.h"
#include "tests/tools/flatStream.h"
#include "tests/tools/toolsTestPlatform.h"

namespace {

using testutil::RandomBytes;
using testutil::RunResult;
using testutil::TempFile;
using Clock = std::chrono::steady_clock;

// Lines as the program meant them: Windows' text mode ends them with "\r\n".
std::string
Unix(std::string text)
{
   for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) {
      text.erase(at, 1);
   }
   return text;
}

RunResult
RunSend(std::vector<std::string> args)
{
   args.insert(args.begin(), SALVOR_SEND_PATH);
   RunResult r = testutil::Run(args);
   r.err = Unix(r.err);
   r.out = Unix(r.out);
   return r;
}

size_t
Count(const std::string &text, const std::string &what)
{
   size_t n = 0;
   for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) {
      n++;
   }
   return n;
}

// The dump arrived whole, once, in the slot the first init gave.
void
ExpectOneWholeDump(const FakeCollector &fake, const std::vector<uint8_t> &content,
                   const RunResult &r)
{
   ASSERT_EQ(r.exit.Code(), 0) << r.err;
   std::vector<FakeCollector::Dump> dumps = fake.Dumps();
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_TRUE(dumps[0].done);
   EXPECT_TRUE(dumps[0].data == content);
   if (!r.out.empty()) {  // else --quiet
      EXPECT_NE(r.out.find(" as dump 5 "), std::string::npos) << r.out;
   }
}

std::vector<std::string>
Args(const FakeCollector &fake, std::vector<std::string> more, const std::string &file)
{
   std::vector<std::string> args = {"--server", fake.Server(), "--timeout", "20"};
   args.insert(args.end(), more.begin(), more.end());
   args.push_back(file);
   return args;
}

TEST(SalvorSendWait, SilenceShorterThanTheWaitIsRiddenOut)
{
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 300 + 9, 11);
   TempFile file(content);
   // Without a wait, the first message to time out would end the dump.
   FakeCollector fake({.silentAtData = 100, .silentMs = 1500});
   RunResult r = RunSend(Args(fake, {"--wait", "20", "--retries", "0"}, file.Path()));
   ExpectOneWholeDump(fake, content, r);
   EXPECT_NE(r.err.find("salvor-send: collector not answering: waiting up to "),
             std::string::npos) << r.err;
   EXPECT_NE(r.err.find("salvor-send: collector answers again\n"), std::string::npos) << r.err;
   EXPECT_EQ(r.out.find("started again"), std::string::npos) << r.out;  // the same dump

   // --quiet leaves standard error to failures.
   FakeCollector again({.silentAtData = 100, .silentMs = 500});
   r = RunSend(Args(again, {"--wait", "20", "--retries", "0", "--quiet"}, file.Path()));
   ExpectOneWholeDump(again, content, r);
   EXPECT_EQ(r.err, "");
}

TEST(SalvorSendWait, SilenceLongerThanTheWaitFailsAfterTheWait)
{
   TempFile file(RandomBytes(SALVOR_MAX_PAYLOAD * 300));
   FakeCollector fake({.silentAtData = 50, .silentMs = 600000});
   Clock::time_point start = Clock::now();
   RunResult r = RunSend(Args(fake, {"--wait", "1", "--retries", "0", "--quiet"}, file.Path()));
   EXPECT_GE(Clock::now() - start, std::chrono::seconds(1));
   EXPECT_EQ(r.exit.Code(), 1);
   EXPECT_EQ(r.err, "salvor-send: the collector at " + fake.Server() +
                       " stopped answering in the middle of the dump; gave up the data after "
                       "waiting 1 s for it to answer again\n");
   EXPECT_EQ(fake.Seen().done, 0u);
}

// The collector's socket closes and opens again on its port: the client
// meets refusals (ICMP port unreachable) meanwhile.
TEST(SalvorSendWait, RefusalsInTheMiddleAreRiddenOut)
{
   if (TestUnderWine()) {
      GTEST_SKIP() << "Wine reports no refusal (ICMP port unreachable) of a UDP datagram; "
                      "real Windows does, as WSAECONNRESET";
   }
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 300 + 1, 12);
   TempFile file(content);
   FakeCollector fake({.goneAtData = 80, .goneMs = 800});
   RunResult r = RunSend(Args(fake, {"--wait", "20"}, file.Path()));
   ExpectOneWholeDump(fake, content, r);
   EXPECT_NE(r.err.find("collector not answering"), std::string::npos) << r.err;

   // Gone for longer than the wait: the refusals are named.
   FakeCollector gone({.goneAtData = 80, .goneMs = 1500});
   r = RunSend(Args(gone, {"--wait", "1", "--quiet"}, file.Path()));
   EXPECT_EQ(r.exit.Code(), 1);
   EXPECT_EQ(r.err, "salvor-send: connection refused by " + gone.Server() +
                       " in the middle of the dump (did the collector stop?); gave up the data "
                       "after waiting 1 s for it to come back\n");
}

TEST(SalvorSendWait, FullCollectorIsRetriedAfterItsHintUntilASlotFrees)
{
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 20, 13);
   TempFile file(content);
   FakeCollector fake({.fullInits = 2, .retryHint = 1});
   Clock::time_point start = Clock::now();
   // An init sent twice would be refused twice at once: a long timeout.
   RunResult r = RunSend(Args(fake, {"--wait", "30", "--timeout", "5000"}, file.Path()));
   // Each retry waited at least the hint.
   EXPECT_GE(Clock::now() - start, std::chrono::seconds(2));
   ExpectOneWholeDump(fake, content, r);
   EXPECT_EQ(Count(r.err, "collector full"), 1u) << r.err;
   EXPECT_NE(r.err.find("salvor-send: collector full: retrying in 1 s\n"), std::string::npos)
      << r.err;
   EXPECT_EQ(fake.Seen().refusedInits, 2u);

   // Full for longer than the wait: the usual refusal, after the wait.
   FakeCollector full({.fullInits = 1000});
   start = Clock::now();
   r = RunSend(Args(full, {"--wait", "1", "--quiet"}, file.Path()));
   EXPECT_GE(Clock::now() - start, std::chrono::seconds(1));
   EXPECT_EQ(r.exit.Code(), 1);
   EXPECT_EQ(r.err, "salvor-send: collector refused the init: hxk_limit_exceeded\n");
   EXPECT_GT(full.Seen().refusedInits, 1u);
}

// A collector restarted without keeping its dumps answers the old dump's
// data hxk_invalid_dump.
TEST(SalvorSendWait, LostDumpIsSentAgainFromAFileButNotFromAStream)
{
   std::vector<uint8_t> content = RandomBytes(SALVOR_MAX_PAYLOAD * 300 + 3, 14);
   TempFile file(content);
   FakeCollector fake({.forgetAtData = 120});
   RunResult r = RunSend(Args(fake, {"--window", "8"}, file.Path()));
   ExpectOneWholeDump(fake, content, r);
   EXPECT_EQ(fake.Seen().forgotten, 1u);
   EXPECT_NE(r.err.find("salvor-send: the collector at " + fake.Server() +
                        " lost dump 5 (hxk_invalid_dump): sending it again from the beginning\n"),
             std::string::npos) << r.err;
   EXPECT_NE(r.out.find(", started again 1 time\n"), std::string::npos) << r.out;

   // A flattened file is read again from its start too.
   std::vector<FlatRecord> records = {{200000, RandomBytes(150000, 1)}, {0, RandomBytes(90000, 2)}};
   TempFile flat(RandomBytes(0));
   testutil::WriteFile(flat.Path(), FlatStream(records));
   FakeCollector forFlat({.forgetAtData = 120});
   r = RunSend(Args(forFlat, {"--flat", "--quiet"}, flat.Path()));
   ASSERT_EQ(r.exit.Code(), 0) << r.err;
   std::vector<FakeCollector::Dump> dumps = forFlat.Dumps();
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_TRUE(dumps[0].done);
   EXPECT_TRUE(std::string(dumps[0].data.begin(), dumps[0].data.end()) == FlatRebuilt(records));
   EXPECT_EQ(forFlat.Seen().forgotten, 1u);

   FakeCollector forStream({.forgetAtData = 120});
   r = toolstest::RunFed({SALVOR_SEND_PATH, "--server", forStream.Server(), "-"},
                         std::string(content.begin(), content.end()));
   EXPECT_EQ(r.exit.Code(), 1);
   EXPECT_EQ(Unix(r.err), "salvor-send: the collector at " + forStream.Server() +
                             " lost the dump (hxk_invalid_dump: it restarted without keeping "
                             "it?) and a stream cannot be sent again from its start\n");
   EXPECT_EQ(forStream.Seen().forgotten, 1u);

   // One that loses it every time is not fed for ever.
   FakeCollector forgetful({.forgetAtData = 40, .forgetTimes = 1000});
   r = RunSend(Args(forgetful, {"--quiet"}, file.Path()));
   EXPECT_EQ(r.exit.Code(), 1);
   EXPECT_NE(r.err.find("lost the dump 4 times (hxk_invalid_dump); gave up\n"), std::string::npos)
      << r.err;
   EXPECT_GE(forgetful.Seen().forgotten, 4u);
}

}  // namespace
