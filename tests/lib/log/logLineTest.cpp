// Line format: prefixes, continuation lines, filtering, truncation, and
// the pending ring that holds lines until an output exists.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cctype>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "lib/log/logInt.h"
#include "lib/misc/vthreadBase.h"
#include "tests/lib/log/logTestUtil.h"
#include "tests/support/testLog.h"

using testutil::LogCapture;
using testutil::TempDir;

namespace {

void
LogAt(int level, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   LogV(level, format, args);
   va_end(args);
}

// Checks "YYYY-MM-DDTHH:MM:SS.mmm" and a zone ("Z" or "+HH:MM") at the
// start of line; returns the rest, or "" when the shape is wrong.
std::string
AfterTimeStamp(const std::string &line)
{
   const char *shape = "dddd-dd-ddTdd:dd:dd.ddd";
   size_t i = 0;
   for (; shape[i] != '\0'; i++) {
      if (i >= line.size() || (shape[i] == 'd' ? !std::isdigit((unsigned char)line[i])
                                                : line[i] != shape[i])) {
         return "";
      }
   }
   if (i < line.size() && line[i] == 'Z') {
      return line.substr(i + 1);
   }
   const char *zone = "sdd:dd";
   for (size_t z = 0; zone[z] != '\0'; z++, i++) {
      bool ok = i < line.size() &&
                (zone[z] == 's'   ? line[i] == '+' || line[i] == '-'
                 : zone[z] == 'd' ? std::isdigit((unsigned char)line[i]) != 0
                                  : line[i] == zone[z]);
      if (!ok) {
         return "";
      }
   }
   return line.substr(i);
}

class LogLineTest : public ::testing::Test {
protected:
   // The designators are part of what these tests check.
   LogLineTest() { log.params.useLevelDesignator = true; }
   TempDir dir;
   LogCapture log{dir / "test.log"};
};

TEST_F(LogLineTest, MultiLineMessageMarksLaterLinesAsContinuation)
{
   ASSERT_TRUE(log.Start());
   Warning("first\nsecond\n");
   Log("text\n\n\n");
   EXPECT_EQ(log.BodyLines(), (std::vector<std::string>{"W110: first", "W110+ second",
                                                       "I120: text", "I120: ", "I120: "}));
}

TEST_F(LogLineTest, BlankLineContinuesTheMessageOnlyBeforeMoreText)
{
   ASSERT_TRUE(log.Start());
   Log("a\n\nb\n\n");
   Log("\n\nc");
   Log("\n");
   EXPECT_EQ(log.BodyLines(), (std::vector<std::string>{"I120: a", "I120+ ", "I120+ b", "I120: ",
                                                       "I120: ", "I120+ ", "I120+ c"}));
}

// A whole buffer of blank lines: the split once looked through the rest of
// the message for every one of them, a time that grew with the square of
// the message's length.
TEST_F(LogLineTest, MessageOfBlankLinesOnly)
{
   ASSERT_TRUE(log.Start());
   std::string blanks(30000, '\n');
   Log("%s", blanks.c_str());
   std::vector<std::string> lines = log.BodyLines();
   ASSERT_EQ(lines.size(), blanks.size());
   EXPECT_EQ(std::count(lines.begin(), lines.end(), "I120: "), (long)lines.size());
}

TEST_F(LogLineTest, OpenLineIsContinuedWithoutPrefixAndEmptyMessageWritesNothing)
{
   ASSERT_TRUE(log.Start());
   Log("abc");
   Log("%s", "");
   Log("def\nghi\n");
   EXPECT_EQ(log.BodyLines(), (std::vector<std::string>{"I120: abcdef", "I120+ ghi"}));
}

TEST_F(LogLineTest, LevelsFilterByTheirOwnNumberButPrintTheirRow)
{
   ASSERT_TRUE(log.Start());
   LogAt(999, "dropped\n");
   LogAt(115, "audit\n");
   LogAt(130, "verbose\n");
   LogAt(100, "error\n");
   EXPECT_EQ(log.BodyLines(), (std::vector<std::string>{"A115: audit", "E100: error"}));
}

TEST_F(LogLineTest, UnknownLevelPrintsAsInfoWhenLetThrough)
{
   log.params.logMinLevel = 1000;
   ASSERT_TRUE(log.Start());
   LogAt(999, "odd\n");
   LogAt(140, "debug\n");
   EXPECT_EQ(log.BodyLines(), (std::vector<std::string>{"I120: odd", "D140: debug"}));
}

TEST_F(LogLineTest, AuditLevelPassesTheStrictestMinimum)
{
   log.params.logMinLevel = 100;
   ASSERT_TRUE(log.Start());
   Warning("warning\n");
   LogAt(115, "audit\n");
   EXPECT_EQ(log.BodyLines(), (std::vector<std::string>{"A115: audit"}));
}

TEST_F(LogLineTest, FullPrefixCarriesTimeZoneThreadAndDesignator)
{
   log.params.useTimeStamps = true;
   log.params.useThreadName = true;
   ASSERT_TRUE(log.Start());
   std::thread([] {
      VThread_SetName("worker");
      Log("hello\nagain\n");
   }).join();
   auto lines = log.BodyLines();
   ASSERT_EQ(lines.size(), 2u);
   EXPECT_EQ(AfterTimeStamp(lines[0]), "| worker| I120: hello") << lines[0];
   EXPECT_EQ(AfterTimeStamp(lines[1]), "| worker| I120+ again") << lines[1];
}

TEST_F(LogLineTest, ZoneOffsets)
{
   char out[8];
   LogFormatZone(0, out);
   EXPECT_STREQ(out, "Z");
   LogFormatZone(-330, out);
   EXPECT_STREQ(out, "-05:30");
   LogFormatZone(120, out);
   EXPECT_STREQ(out, "+02:00");
}

TEST_F(LogLineTest, CallerErrnoSurvivesLogging)
{
   ASSERT_TRUE(log.Start());
   errno = EACCES;
   Log("a line %d\n", 1);
   EXPECT_EQ(errno, EACCES);
   errno = ENOSPC;
   LogAt(999, "filtered\n");
   EXPECT_EQ(errno, ENOSPC);
}

TEST_F(LogLineTest, StderrEchoFollowsItsOwnMinimum)
{
   log.params.stderrMinLevel = 110;
   ASSERT_TRUE(log.Start());
   ::testing::internal::CaptureStderr();
   Warning("to both\n");
   Log("file only\n");
   EXPECT_EQ(::testing::internal::GetCapturedStderr(), "to both\n");
   EXPECT_EQ(log.BodyLines(), (std::vector<std::string>{"W110: to both", "I120: file only"}));
}

TEST_F(LogLineTest, NothingReachesStderrByDefault)
{
   ASSERT_TRUE(log.Start());
   ::testing::internal::CaptureStderr();
   Warning("quiet\n");
   EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(LogLineTest, LongMessageIsCutBeforeSplitting)
{
   log.params.useLevelDesignator = false;
   ASSERT_TRUE(log.Start());
   Log("%s\n", std::string(40000, 'x').c_str());
   auto lines = log.BodyLines();
   ASSERT_EQ(lines.size(), 1u);
   EXPECT_TRUE(lines[0] == std::string(32766, 'x')) << lines[0].size();
}

TEST_F(LogLineTest, LineLongerThanTheLineBufferKeepsItsEnd)
{
   ASSERT_TRUE(log.Start());
   Log("%s\n", std::string(40000, 'x').c_str());
   Log("next\n");
   auto lines = log.BodyLines();
   ASSERT_EQ(lines.size(), 2u);
   EXPECT_TRUE(lines[0] == "I120: " + std::string(32768 - 8, 'x')) << lines[0].size();
   EXPECT_EQ(lines[1], "I120: next");
}

TEST_F(LogLineTest, CutDropsAWholeMultiByteCharacter)
{
   log.params.useLevelDesignator = false;
   ASSERT_TRUE(log.Start());
   // 32,765 ASCII bytes, then "é" (2 bytes) straddles the cut at 32,766.
   std::string text = std::string(32765, 'a') + "\xC3\xA9" + std::string(100, 'b');
   Log("%s\n", text.c_str());
   auto lines = log.BodyLines();
   ASSERT_EQ(lines.size(), 1u);
   EXPECT_TRUE(lines[0] == std::string(32765, 'a')) << lines[0].size();
}

TEST_F(LogLineTest, MessageIsCutAt319BytesWhileTheSharedBufferIsLentOut)
{
   ASSERT_TRUE(log.Start());
   char *lent = LogBorrowBuffer(&logState.messageBuffer);
   ASSERT_NE(lent, nullptr);
   Log("%s\n", std::string(1000, 'y').c_str());
   LogReturnBuffer(&logState.messageBuffer, lent);
   auto lines = log.BodyLines();
   ASSERT_EQ(lines.size(), 1u);
   EXPECT_EQ(lines[0], "I120: " + std::string(318, 'y'));
}

TEST(LogCut, WholeCharacterRules)
{
   char buf[8] = "abc\xE2\x82";  // an incomplete three-byte sequence at the end
   EXPECT_EQ(LogCutToWholeCharacter(buf, sizeof buf), 4u);
   EXPECT_STREQ(buf, "abc\n");
   char empty[4] = "";
   EXPECT_EQ(LogCutToWholeCharacter(empty, sizeof empty), 0u);
   char full[4] = {'a', 'b', 'c', 'd'};  // no NUL: the text fills the buffer
   EXPECT_EQ(LogCutToWholeCharacter(full, sizeof full), 3u);
   EXPECT_EQ(std::string(full, 3), "ab\n");
}

TEST_F(LogLineTest, LinesLoggedBeforeStartFollowTheBannerWithTheirOwnTime)
{
   Log("early one\n");
   std::thread([] {
      VThread_SetName("early-thread");
      Warning("early two\n");
   }).join();
   log.params.useThreadName = true;
   ASSERT_TRUE(log.Start());
   Log("late\n");
   auto lines = log.Lines();
   ASSERT_GE(lines.size(), 4u);
   EXPECT_TRUE(testutil::IsBannerLine(lines[0]));
   auto body = log.BodyLines();
   ASSERT_EQ(body.size(), 3u);
   EXPECT_NE(body[0].find("I120: early one"), std::string::npos);
   EXPECT_EQ(body[1], "early-thread| W110: early two");
   EXPECT_NE(body[2].find("I120: late"), std::string::npos);
}

TEST_F(LogLineTest, RingOverflowKeepsTheNewestWholeLines)
{
   // 1,000 lines of 100 bytes text plus 82 bytes of header each: far more
   // than the ring holds.
   for (int i = 0; i < 1000; i++) {
      Log("line %04d %s\n", i, std::string(90, 'r').c_str());
   }
   ASSERT_TRUE(log.Start());
   Log("after\n");
   auto body = log.BodyLines();
   ASSERT_FALSE(body.empty());
   ASSERT_EQ(body.back(), "I120: after");
   body.pop_back();
   size_t perLine = sizeof(LogLineHeader) + 101;
   size_t kept = LOG_BUFFER_SIZE / perLine;
   // The lines pushed out are counted, text only, ahead of those kept.
   EXPECT_EQ(body.front(), "I120: <<< Log dropped " + std::to_string((1000 - kept) * 101) +
                              " bytes of held-back lines >>>");
   body.erase(body.begin());
   EXPECT_EQ(body.size(), kept);
   EXPECT_EQ(body.back(), "I120: line 0999 " + std::string(90, 'r'));
   for (size_t i = 0; i < body.size(); i++) {
      EXPECT_EQ(body[i].size(), 6 + 100u) << body[i];
   }
}

TEST_F(LogLineTest, ContinuationThatPushesItsLineOutOfTheRingGetsItsOwnHeader)
{
   log.params.throttleThreshold = 0;
   log.params.throttleBytesPerSec = 0;  // every line waits in the ring
   ASSERT_TRUE(log.Start());
   Log("open line ");
   // Too long to fit beside the open line: making room evicts it.
   Log("CONT%s\n", std::string(32690, 'c').c_str());
   Log_DisableThrottling();
   Log("after\n");
   auto body = log.BodyLines();
   ASSERT_EQ(body.size(), 4u);
   EXPECT_EQ(body[0], "I120: <<< Log Throttled >>>");
   EXPECT_EQ(body[1], "I120: <<< Log dropped 10 bytes of held-back lines >>>");
   EXPECT_EQ(body[2].substr(0, 12), "I120: CONTcc");
   EXPECT_EQ(body[2].find_first_not_of('c', 10), std::string::npos);
   EXPECT_GT(body[2].size(), 32000u);
   EXPECT_EQ(body[3], "I120: after");
}

TEST_F(LogLineTest, LinesOfManyThreadsNeverInterleave)
{
   ASSERT_TRUE(log.Start());
   std::vector<std::thread> threads;
   for (int t = 0; t < 4; t++) {
      threads.emplace_back([t] {
         for (int i = 0; i < 500; i++) {
            Log("thread %d line %03d %s\n", t, i, "0123456789abcdefghij");
         }
      });
   }
   for (auto &th : threads) {
      th.join();
   }
   auto body = log.BodyLines();
   size_t notes = 0;
   std::vector<int> perThread(4);
   for (const auto &line : body) {
      if (line.find("VThreadBase") != std::string::npos) {
         notes++;
         continue;
      }
      int t = -1;
      int i = -1;
      char tail[32] = "";
      ASSERT_EQ(std::sscanf(line.c_str(), "I120: thread %d line %d %31s", &t, &i, tail), 3)
         << line;
      ASSERT_TRUE(t >= 0 && t < 4) << line;
      EXPECT_EQ(i, perThread[t]++) << line;
      EXPECT_STREQ(tail, "0123456789abcdefghij");
   }
   EXPECT_EQ(body.size() - notes, 2000u);
}

}  // namespace
