// The log's outputs: opening, appending and carrying over, rotation by
// size, the throttle, bytes lost to a full disk, and the system logger.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include <cstdlib>
#include <gtest/gtest.h>

#include "lib/misc/productState.h"
#include "lib/config/preference.h"
#include "lib/misc/clock.h"
#include "lib/log/logInt.h"
#include "lib/log/logPlatform.h"
#include "lib/misc/msgList.h"
#include "lib/misc/platFault.h"
#include "tests/lib/log/logTestUtil.h"
#include "tests/support/testLog.h"

using testutil::LogCapture;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

bool
Exists(const std::string &path)
{
   struct stat st;
   return stat(path.c_str(), &st) == 0;
}

// A system logger that keeps what it is sent.
struct SinkRecord {
   std::string source;
   std::vector<std::pair<uint16_t, std::string>> lines;
   int opens = 0;
   int closes = 0;
};
SinkRecord sinkRecord;
int sinkHandle;

const LogSystemLoggerSink testSink = {
   [](const char *name) -> void * {
      sinkRecord.source = name;
      sinkRecord.opens++;
      return &sinkHandle;
   },
   [](void *, uint16_t type, int32_t, const char *text) { sinkRecord.lines.emplace_back(type, text); },
   [](void *) { sinkRecord.closes++; },
};

class LogOutputTest : public ::testing::Test {
protected:
   // The designators are part of what these tests check.
   LogOutputTest() { log.params.useLevelDesignator = true; }
   void SetUp() override
   {
      sinkRecord = SinkRecord{};
      LogPlat_SetSystemLoggerSink(&testSink);
   }
   void TearDown() override
   {
      Log_Exit();
      LogPlat_SetSystemLoggerSink(nullptr);
      LogMonotonicUsec = Clock_MonotonicUsec;
   }

   TempDir dir;
   LogCapture log{dir / "test.log"};
};

TEST_F(LogOutputTest, BannerOpensTheFileAndTellsTheCreationTimeWithoutTimeStamps)
{
   ASSERT_TRUE(log.Start());
   Log("first\n");
   auto lines = log.Lines();
   ASSERT_GE(lines.size(), 5u);
   EXPECT_EQ(lines[0].rfind("I120: Log for Quillon Orvex dump collector pid=", 0), 0u) << lines[0];
   EXPECT_NE(lines[0].find(std::string(" version=") + ProductState_GetVersion() + " build=" +
                           ProductState_GetBuildNumber() + " "),
             std::string::npos)
      << lines[0];
   EXPECT_NE(lines[0].find(" option=Release"), std::string::npos);
   EXPECT_EQ(lines[1], "I120: The process is 64-bit.");
   EXPECT_EQ(lines[2].rfind("I120: Host codepage=", 0), 0u);
   EXPECT_EQ(lines[3].rfind("I120: Log creation time is ", 0), 0u);
   EXPECT_EQ(lines[4].rfind("I120: Host is ", 0), 0u);
   EXPECT_EQ(lines.back(), "I120: first");
}

TEST_F(LogOutputTest, BannerWithTimeStampsHasNoCreationTimeLine)
{
   log.params.useTimeStamps = true;
   ASSERT_TRUE(log.Start());
   Log("first\n");
   EXPECT_EQ(log.Text().find("Log creation time is"), std::string::npos);
}

TEST_F(LogOutputTest, WithFileDefaultsAppendsAndKeepsEarlierContent)
{
   WriteFile(log.Path(), "earlier line\n");
   Preference_Init();  // as the collector does, so the keys are not read early
   ASSERT_TRUE(Log_InitWithFile(log.Path().c_str(), "salvor"));
   Log("later\n");
   Preference_Exit();
   auto lines = log.Lines();
   // The banner (no creation time with time stamps), then the preference
   // store's lines about its missing files.
   ASSERT_GE(lines.size(), 6u);
   EXPECT_EQ(log.Text().find("early PreferenceGet"), std::string::npos);
   EXPECT_EQ(lines[0], "earlier line");
   EXPECT_NE(lines[4].find("| I120: Host is "), std::string::npos) << lines[4];
   EXPECT_NE(lines[1].find("| I120: Log for "), std::string::npos) << lines[1];
   EXPECT_NE(lines.back().find("| I120: later"), std::string::npos);
   EXPECT_FALSE(Exists(dir / "test-0.log"));
   EXPECT_EQ(logtest::CurrentFileName(), log.Path());
}

TEST_F(LogOutputTest, CarryOverRotatesTheEarlierFileAndStartsEmpty)
{
   WriteFile(log.Path(), "previous run\n");
   WriteFile(dir / "test-0.log", "older run\n");
   ASSERT_TRUE(log.Start());  // carryOver, keepOld 3, no append
   Log("new run\n");
   EXPECT_EQ(ReadFile(dir / "test-0.log"), "previous run\n");
   EXPECT_EQ(ReadFile(dir / "test-1.log"), "older run\n");
   EXPECT_EQ(log.BodyLines(), (std::vector<std::string>{"I120: new run"}));
}

TEST_F(LogOutputTest, OpenCreatesMissingDirectories)
{
   std::string deep = dir / "a/b/c/deep.log";
   log.params.fileName = deep.c_str();
   ASSERT_TRUE(log.Start());
   Log("x\n");
   EXPECT_NE(ReadFile(deep).find("I120: x"), std::string::npos);
}

TEST_F(LogOutputTest, UnopenableFileFailsAndLeavesTheLogUnstarted)
{
   WriteFile(dir / "plain", "not a directory");
   std::string bad = dir / "plain/x.log";
   log.params.fileName = bad.c_str();
   EXPECT_FALSE(log.Start());
   EXPECT_EQ(logtest::CurrentFileName(), "(none)");
   // A later start on a good path works.
   log.params.fileName = log.Path().c_str();
   ASSERT_TRUE(log.Start());
   Log("recovered\n");
   auto body = log.BodyLines();
   ASSERT_FALSE(body.empty());
   EXPECT_EQ(body.back(), "I120: recovered");
}

TEST_F(LogOutputTest, FailureMessagesNameThePathAndTheParameters)
{
   WriteFile(dir / "plain", "not a directory");
   std::string bad = dir / "plain/x.log";
   MsgList *messages = nullptr;
   MXUserRecLock *lock = LogGetLock();
   MXUser_AcquireRecLock(lock);
   EXPECT_FALSE(Log_SetOutput(&logState, bad.c_str(), nullptr, false, true, 0, "salvor",
                              &messages));
   MXUser_ReleaseRecLock(lock);
   ASSERT_NE(messages, nullptr);
   EXPECT_STREQ(messages->id, "msg.log.setOutputFailed");
   auto text = [](const MsgList *m) {
      char *t = MsgList_FormatNode(m);
      std::string s = t;
      std::free(t);
      return s;
   };
   EXPECT_NE(text(messages).find("fileName (" + bad + ")\nconfig (<NULL>)\n"
                                                "systemLoggerID (salvor)\nsystemLoggerUse 0\n"),
             std::string::npos);
   ASSERT_NE(messages->next, nullptr);
   EXPECT_STREQ(messages->next->id, "msg.log.openFailed");
   EXPECT_NE(text(messages->next).find("Cannot open or create the log file '" +
                                                      bad + "': "),
             std::string::npos);
   MsgList_Free(messages);
}

TEST_F(LogOutputTest, RotationBySizeKeepsOldCopiesAndStartsWithABanner)
{
   log.params.rotateSize = 300;
   log.params.keepOld = 2;
   ASSERT_TRUE(log.Start());
   for (int i = 0; i < 30; i++) {
      Log("line %02d %s\n", i, "..........................................");
   }
   ASSERT_TRUE(Exists(dir / "test-0.log"));
   ASSERT_TRUE(Exists(dir / "test-1.log"));
   EXPECT_FALSE(Exists(dir / "test-2.log"));
   auto lines = log.Lines();
   ASSERT_FALSE(lines.empty());
   EXPECT_TRUE(testutil::IsBannerLine(lines[0]));
   EXPECT_NE(lines.back().find("line 29"), std::string::npos);
   // Each file got a banner, then a few lines; the newest lines are in the
   // current file, the ones before them in copy 0.
   EXPECT_NE(ReadFile(dir / "test-0.log").find("Log for "), std::string::npos);
}

TEST_F(LogOutputTest, MessagesLoggedDuringRotationFollowTheNewBanner)
{
   log.params.rotateSize = 100;
   log.params.keepOld = 1;
   ASSERT_TRUE(log.Start());
   Log("%s\n", std::string(150, 'a').c_str());
   PlatFault_Inject(PLAT_RENAME, EACCES, 0, -1);
   Log("triggers rotation\n");
   PlatFault_Clear();
   auto body = log.BodyLines();
   ASSERT_GE(body.size(), 2u);
   EXPECT_NE(body[body.size() - 2].find("FILE: FileRotateByRename: failed to rename"),
             std::string::npos)
      << body[body.size() - 2];
   EXPECT_EQ(body.back(), "I120: triggers rotation");
}

TEST_F(LogOutputTest, FailedReopenAtRotationLeavesNoFileName)
{
   log.params.rotateSize = 100;
   log.params.keepOld = 1;
   ASSERT_TRUE(log.Start());
   Log("%s\n", std::string(150, 'a').c_str());
   EXPECT_EQ(logtest::CurrentFileName(), log.Path());
   PlatFault_Inject(PLAT_OPEN, EACCES, 0, -1);
   Log("triggers rotation\n");
   PlatFault_Clear();
   EXPECT_EQ(logState.fd, -1);
   EXPECT_EQ(logtest::CurrentFileName(), "(none)");
}

TEST_F(LogOutputTest, FileNameStaysReadableWhileOutputsSwitch)
{
   ASSERT_TRUE(log.Start());
   std::string other = dir / "other.log";
   std::atomic<bool> done{false};
   std::thread reader([&] {
      while (!done.load()) {
         std::string name = logtest::CurrentFileName();
         ASSERT_TRUE(name == log.Path() || name == other) << name;
      }
   });
   MXUserRecLock *lock = LogGetLock();
   for (int i = 0; i < 200; i++) {
      MXUser_AcquireRecLock(lock);
      EXPECT_TRUE(Log_SetOutput(&logState, i % 2 == 0 ? other.c_str() : log.Path().c_str(),
                                nullptr, false, false, 0, "salvor", nullptr));
      MXUser_ReleaseRecLock(lock);
   }
   done = true;
   reader.join();
}

TEST_F(LogOutputTest, LinesLoggedWhileInitSwitchesFilesWaitForTheNewFile)
{
   ASSERT_TRUE(log.Start());
   Log("%s\n", std::string(150, 'a').c_str());
   // Started again on another file with rotation by size: the file
   // library reports a failure while the switch is under way.
   std::string second = dir / "second.log";
   WriteFile(dir / "second-0.log", "older\n");
   LogParams params = log.params;
   params.fileName = second.c_str();
   params.rotateSize = 100;
   params.keepOld = 1;
   PlatFault_Inject(PLAT_UNLINK, EIO);
   ASSERT_TRUE(Log_Init(&params));
   PlatFault_Clear();
   Log("after\n");
   // The earlier file was not rotated in the middle of the switch: its
   // content carried on under the new name, and the failure came later.
   EXPECT_FALSE(Exists(dir / "test-0.log"));
   std::string text = ReadFile(dir / "second-0.log") + ReadFile(second);
   size_t earlier = text.find(std::string(150, 'a'));
   size_t failure = text.find("FILE: FileRotateByRename: failed to remove " + dir / "second-0.log");
   size_t after = text.find("I120: after\n");
   ASSERT_NE(earlier, std::string::npos);
   ASSERT_NE(failure, std::string::npos);
   ASSERT_NE(after, std::string::npos);
   EXPECT_LT(earlier, failure);
   EXPECT_LT(failure, after);
}

// Opens a file of "another thread" in the middle of an operation, taking
// the lowest free descriptor numbers up to and including wantedFd.
struct NumberGrabber {
   static inline std::string path;
   static inline int wantedFd = -1;
   static inline std::vector<int> fds;

   static void OnOpen(PlatCall call)
   {
      if (call != PLAT_OPEN || !fds.empty()) {
         return;
      }
      for (int i = 0; i < 256; i++) {
         int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
         fds.push_back(fd);
         if (fd < 0 || fd >= wantedFd) {
            break;
         }
      }
   }
};

TEST_F(LogOutputTest, RotationNeverFreesItsDescriptorNumberForAnotherFile)
{
   log.params.rotateSize = 100;
   log.params.keepOld = 1;
   ASSERT_TRUE(log.Start());
   Log("%s\n", std::string(150, 'a').c_str());
   NumberGrabber::path = dir / "other.txt";
   WriteFile(NumberGrabber::path, "another thread's file\n");
   NumberGrabber::wantedFd = logState.fd;
   NumberGrabber::fds.clear();
   PlatFault_SetObserver(NumberGrabber::OnOpen);  // runs as the rotation reopens the log
   Log("triggers rotation\n");
   PlatFault_Clear();
   ASSERT_FALSE(NumberGrabber::fds.empty());
   struct stat other;
   ASSERT_EQ(stat(NumberGrabber::path.c_str(), &other), 0);
   for (int fd : NumberGrabber::fds) {
      ASSERT_GE(fd, 0);
      struct stat st;
      ASSERT_EQ(fstat(fd, &st), 0);
      EXPECT_EQ(st.st_ino, other.st_ino) << "descriptor " << fd << " no longer names its file";
      close(fd);
   }
   EXPECT_EQ(ReadFile(NumberGrabber::path), "another thread's file\n");
   EXPECT_EQ(log.BodyLines().back(), "I120: triggers rotation");
}

TEST_F(LogOutputTest, ShortWriteIsReportedBeforeTheNextLine)
{
   ASSERT_TRUE(log.Start());
   Log("before\n");
   PlatFault_Inject(PLAT_WRITE, ENOSPC, 0, 1, 10);
   Log("0123456789 this part is lost\n");  // "I120: " + 29 bytes, 10 written
   Log("after\n");
   std::string text = log.Text();
   EXPECT_NE(text.find("I120: 0123I120: >>> Error writing log, 25 bytes discarded. Disk full?\n"
                       "I120: after\n"),
             std::string::npos)
      << text;
}

TEST_F(LogOutputTest, FailedWritesAddUpUntilANoticeGoesOutWhole)
{
   ASSERT_TRUE(log.Start());
   Log("before\n");
   PlatFault_Inject(PLAT_WRITE, ENOSPC, 0, 3);  // the line, the notice, the next line
   Log("lost one\n");                           // 15 bytes
   Log("lost two\n");                           // notice fails, line fails: 15 more
   Log("after\n");
   std::string text = log.Text();
   EXPECT_NE(text.find("I120: >>> Error writing log, 30 bytes discarded. Disk full?\nI120: after\n"),
             std::string::npos)
      << text;
}

class ThrottleTest : public ::testing::Test {
protected:
   void TearDown() override { LogMonotonicUsec = Clock_MonotonicUsec; }

   static uint64_t Clock() { return now; }
   bool Charge(size_t bytes) { return LogThrottleCheck(&state, &throttle, bytes); }

   static inline uint64_t now = 0;
   LogState state;
   LogThrottle throttle{"Log", false, 1000, 100, 0, 0, 0, false};
};

TEST_F(ThrottleTest, BelowTheThresholdNothingIsMeasured)
{
   LogMonotonicUsec = Clock;
   now = 1;
   EXPECT_FALSE(Charge(999));
   EXPECT_EQ(throttle.lastTime, 0u);
}

TEST_F(ThrottleTest, FirstWindowStartsAtTheThresholdNotAtTheClocksStart)
{
   LogMonotonicUsec = Clock;
   now = 1000000000000;  // a host up for days
   EXPECT_FALSE(Charge(1000));  // crosses the threshold: the first window starts
   EXPECT_EQ(throttle.lastTime, now);
   EXPECT_TRUE(Charge(501));  // 501 bytes > 100 B/s x 5 s, at once
}

TEST_F(ThrottleTest, SpentBudgetThrottlesAtOnceAndWindowsLastFiveAndSixtySeconds)
{
   LogMonotonicUsec = Clock;
   now = 1000000000;
   EXPECT_FALSE(Charge(1000));
   now += 5000000;  // exactly the window: no new measurement
   EXPECT_FALSE(Charge(500));  // exactly the budget of 100 B/s x 5 s
   now += 1;
   EXPECT_FALSE(Charge(0));  // 500 bytes in 5 s: 100 B/s, and a new window
   EXPECT_FALSE(Charge(500));
   EXPECT_TRUE(Charge(1));  // the new window's budget is spent
   EXPECT_TRUE(throttle.throttled);

   now += 30000000;  // throttled: the window is 60 s from the moment it engaged
   EXPECT_TRUE(Charge(0));
   now += 30000001;  // 60.000001 s with no bytes: rate 0
   EXPECT_FALSE(Charge(0));

   // A later burst gets one window's budget, not five seconds of flood.
   now += 1000;
   uint64_t let = 0;
   while (!Charge(50)) {
      let += 50;
      ASSERT_LE(let, 500u);
   }
   EXPECT_EQ(let, 500u);
}

TEST_F(ThrottleTest, ExactlyTheAllowedRateDoesNotThrottle)
{
   LogMonotonicUsec = Clock;
   now = 1000000000;
   Charge(1000);
   now += 10000000;
   EXPECT_FALSE(Charge(1000));  // 1,000 bytes in 10 s = 100 B/s
   now += 10000000;
   EXPECT_TRUE(Charge(1010));  // 101 B/s
}

TEST_F(ThrottleTest, NoLimitAndStopAtThreshold)
{
   throttle.bytesPerSec = LOG_NO_BPS_LIMIT;
   EXPECT_FALSE(Charge(1u << 30));
   EXPECT_EQ(throttle.byteCount, 0u);
   throttle.bytesPerSec = 0;
   EXPECT_FALSE(Charge(999));
   EXPECT_TRUE(Charge(1));
   EXPECT_TRUE(Charge(0));
}

TEST_F(LogOutputTest, StopAfterThresholdLeavesOnlyTheBannerAndTheNotice)
{
   log.params.throttleThreshold = 0;
   log.params.throttleBytesPerSec = 0;
   ASSERT_TRUE(log.Start());
   Log("never written\n");
   Log("nor this\n");
   EXPECT_EQ(log.BodyLines(), (std::vector<std::string>{"I120: <<< Log Throttled >>>"}));
   Log_DisableThrottling();
   Log("let through\n");
   EXPECT_EQ(log.BodyLines(),
             (std::vector<std::string>{"I120: <<< Log Throttled >>>", "I120: never written",
                                       "I120: nor this", "I120: let through"}));
}

// Lines held back by the throttle go out when it lifts, without waiting
// for a later line; what the ring had to drop is counted in a notice.
TEST_F(LogOutputTest, HeldBackLinesAreFlushedWhenTheThrottleLiftsWithTheDroppedCount)
{
   static uint64_t now;
   now = 1000000000;
   LogMonotonicUsec = [] { return now; };
   log.params.throttleThreshold = 100;
   log.params.throttleBytesPerSec = 10;
   ASSERT_TRUE(log.Start());
   int passed = 0;
   while (log.Text().find("<<< Log Throttled >>>") == std::string::npos) {
      Log("free %04d\n", passed++);
      ASSERT_LT(passed, 100);
   }
   // One line of the ring is 82 bytes of header and 10 of text: 5,000
   // lines cannot all stay.
   const int held = 5000;
   for (int i = 0; i < held; i++) {
      Log("held %04d\n", i);
   }
   std::string before = log.Text();
   Log_FlushPending();
   EXPECT_EQ(log.Text(), before) << "still throttled: nothing may go out";
   now += 61000000;  // the window ends, but it saw the flood: still throttled
   Log_FlushPending();
   EXPECT_EQ(log.Text(), before);
   now += 61000000;  // a quiet window: the throttle lifts
   Log_FlushPending();

   auto body = log.BodyLines();
   auto notice = std::find_if(body.begin(), body.end(), [](const std::string &line) {
      return line.rfind("I120: <<< Log dropped ", 0) == 0;
   });
   ASSERT_NE(notice, body.end());
   size_t survivors = (size_t)(body.end() - notice) - 1;
   ASSERT_GT(survivors, 100u);
   // The line that turned the throttle on waits in the ring too.
   EXPECT_EQ(*notice, "I120: <<< Log dropped " + std::to_string(10 * (held + 1 - survivors)) +
                         " bytes of held-back lines >>>");
   EXPECT_EQ(body.back(), "I120: held 4999");
   EXPECT_EQ(*(notice + 1), "I120: held " + std::to_string(held - survivors));

   // Once drained, nothing is written twice, and no second notice comes.
   std::string after = log.Text();
   Log_FlushPending();
   Log("next\n");
   EXPECT_EQ(log.Text(), after + "I120: next\n");
}

// A flush may run between a failed call and the reading of its error:
// writing the held-back lines, even failing to, must not change it.
TEST_F(LogOutputTest, FlushKeepsTheCallersLastError)
{
   static uint64_t now;
   now = 1000000000;
   LogMonotonicUsec = [] { return now; };
   log.params.throttleThreshold = 100;
   log.params.throttleBytesPerSec = 10;
   ASSERT_TRUE(log.Start());
   for (int i = 0; log.Text().find("<<< Log Throttled >>>") == std::string::npos; i++) {
      Log("free %04d\n", i);
      ASSERT_LT(i, 100);
   }
   Log("held\n");
   now += 61000000;  // a quiet window: the throttle lifts at the flush
   PlatFault_Inject(PLAT_WRITE, ENOSPC, 0, -1);
   errno = ECONNREFUSED;
   Log_FlushPending();
   int after = errno;
   PlatFault_Clear();
   EXPECT_EQ(after, ECONNREFUSED);
}

TEST_F(LogOutputTest, FloodAfterTheThresholdIsHeldToTheRate)
{
   log.params.throttleThreshold = 10000;
   log.params.throttleBytesPerSec = 1000;
   ASSERT_TRUE(log.Start());
   auto start = std::chrono::steady_clock::now();
   const int lines = 50000;
   for (int i = 0; i < lines; i++) {
      Log("Malformed datagram %06d from 10.20.30.40: %s\n", i,
          "bad magic number 0x00000000, 48 bytes expected");
   }
   double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
   size_t size = log.Text().size();
   // The threshold, then at most the rate over the flood plus one window's
   // budget (5 s); lines carry a prefix that the throttle does not count,
   // hence the factor 2; then the banner and the notice.
   double bound = 2 * (10000 + 1000 * (5 + seconds)) + 4096;
   EXPECT_LT((double)size, bound) << "flood of " << seconds << " s";
   EXPECT_GT(size, 10000u);
   EXPECT_NE(log.Text().find("I120: <<< Log Throttled >>>\n"), std::string::npos);
}

TEST_F(LogOutputTest, SystemLoggerWithFileGetsEveryLineWithItsType)
{
   log.params.systemLoggerUse = LOG_SYSTEM_LOGGER_WITH_FILE;
   std::strcpy(log.params.systemLoggerID, "salvor");
   ASSERT_TRUE(log.Start());
   Warning("careful\n");
   Log("fine\n");
   EXPECT_EQ(sinkRecord.source, "salvor");
   ASSERT_EQ(sinkRecord.lines.size(), 2u);
   EXPECT_EQ(sinkRecord.lines[0], std::make_pair(LOG_EVENT_WARNING, std::string("W110: careful\n")));
   EXPECT_EQ(sinkRecord.lines[1], std::make_pair(LOG_EVENT_INFORMATION, std::string("I120: fine\n")));
   EXPECT_EQ(log.BodyLines(), (std::vector<std::string>{"W110: careful", "I120: fine"}));
}

TEST_F(LogOutputTest, SystemLoggerOnlyWritesNoFile)
{
   log.params.systemLoggerUse = LOG_SYSTEM_LOGGER_ONLY;
   std::strcpy(log.params.systemLoggerID, "salvor");
   ASSERT_TRUE(log.Start());
   Log("only there\n");
   ASSERT_EQ(sinkRecord.lines.size(), 1u);
   EXPECT_EQ(sinkRecord.lines[0].second, "I120: only there\n");
   EXPECT_FALSE(Exists(log.Path()));
   EXPECT_EQ(logtest::CurrentFileName(), "(none)");
}

TEST_F(LogOutputTest, SystemLoggerWithoutASourceNameFails)
{
   log.params.systemLoggerUse = LOG_SYSTEM_LOGGER_ONLY;
   log.params.systemLoggerID[0] = '\0';
   EXPECT_FALSE(log.Start());
}

TEST_F(LogOutputTest, JoiningSystemLoggerReceivesTheFileSoFar)
{
   ASSERT_TRUE(log.Start());
   Log("one\n");
   Log("two\n");
   MXUserRecLock *lock = LogGetLock();
   MXUser_AcquireRecLock(lock);
   EXPECT_TRUE(Log_SetOutput(&logState, log.Path().c_str(), nullptr, true, true,
                             LOG_SYSTEM_LOGGER_WITH_FILE, "salvor", nullptr));
   MXUser_ReleaseRecLock(lock);
   ASSERT_GE(sinkRecord.lines.size(), 7u);
   EXPECT_EQ(sinkRecord.lines[sinkRecord.lines.size() - 2].second, "I120: one\n");
   EXPECT_EQ(sinkRecord.lines.back().second, "I120: two\n");
   Log("three\n");
   EXPECT_EQ(sinkRecord.lines.back().second, "I120: three\n");
}

TEST_F(LogOutputTest, SwitchingToAnotherFileCarriesTheContentOver)
{
   ASSERT_TRUE(log.Start());
   Log("in the first file\n");
   std::string second = dir / "second.log";
   MXUserRecLock *lock = LogGetLock();
   MXUser_AcquireRecLock(lock);
   EXPECT_TRUE(Log_SetOutput(&logState, second.c_str(), nullptr, true, false, 0, "salvor",
                             nullptr));
   MXUser_ReleaseRecLock(lock);
   Log("in the second file\n");
   EXPECT_FALSE(Exists(log.Path()));
   std::string text = ReadFile(second);
   EXPECT_NE(text.find("I120: in the first file\nI120: in the second file\n"), std::string::npos)
      << text;
   EXPECT_EQ(logtest::CurrentFileName(), second);
}

TEST_F(LogOutputTest, ReadErrorWhileCarryingOverKeepsTheEarlierFile)
{
   ASSERT_TRUE(log.Start());
   for (int i = 0; i < 200; i++) {  // more than one copy chunk
      Log("earlier line %03d %s\n", i, std::string(100, 'e').c_str());
   }
   std::string before = log.Text();
   ASSERT_GT(before.size(), 16384u);
   std::string second = dir / "second.log";
   PlatFault_Inject(PLAT_READ, EIO, 1, 1);  // the second chunk cannot be read
   MsgList *messages = nullptr;
   MXUserRecLock *lock = LogGetLock();
   MXUser_AcquireRecLock(lock);
   EXPECT_FALSE(Log_SetOutput(&logState, second.c_str(), nullptr, true, false, 0, "salvor",
                              &messages));
   MXUser_ReleaseRecLock(lock);
   PlatFault_Clear();
   std::vector<std::string> ids;
   for (MsgList *m = messages; m != nullptr; m = m->next) {
      ids.push_back(m->id);
      if (ids.back() == "msg.log.copyReadFailed") {
         char *text = MsgList_FormatNode(m);
         EXPECT_NE(std::string(text).find("'" + log.Path() + "'"), std::string::npos) << text;
         free(text);
      }
   }
   MsgList_Free(messages);
   EXPECT_EQ(ids, (std::vector<std::string>{"msg.log.setOutputFailed", "msg.log.copyReadFailed"}));
   EXPECT_FALSE(Exists(second));
   EXPECT_TRUE(log.Text() == before) << "the earlier file changed; now " << log.Text().size()
                                     << " bytes, was " << before.size();
   Log("still the earlier file\n");
   EXPECT_EQ(log.BodyLines().back(), "I120: still the earlier file");
   EXPECT_EQ(logtest::CurrentFileName(), log.Path());
}

TEST_F(LogOutputTest, GeneratedNameLivesInTheSafeTemporaryDirectory)
{
   TempDir tmp;
   const char *old = getenv("TMPDIR");
   std::string saved = old != nullptr ? old : "";
   setenv("TMPDIR", tmp.Path().c_str(), 1);
   log.params.fileName = nullptr;
   log.params.config = "test.logFile";  // a key nobody set
   log.params.suffix = "app";
   bool started = log.Start();
   if (old != nullptr) {
      setenv("TMPDIR", saved.c_str(), 1);
   } else {
      unsetenv("TMPDIR");
   }
   ASSERT_TRUE(started);
   std::string name = logtest::CurrentFileName();
   std::string expect = "/quillon-app-" + std::to_string(getpid()) + ".log";
   EXPECT_EQ(name.rfind(tmp.Path() + "/", 0), 0u) << name;
   EXPECT_EQ(name.substr(name.size() - expect.size()), expect) << name;
}

}  // namespace
