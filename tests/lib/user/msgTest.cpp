// Message lists and user messages: logging, localisation, pre-set
// answers, front ends, the console and pending lists of several threads.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "lib/config/preference.h"
#include "lib/user/dictionary.h"
#include "lib/user/msg.h"
#include "tests/lib/user/userTestUtil.h"
#include "tests/support/testLog.h"
#include "tests/support/testPlatform.h"

// The test program's allocations through new: the first request of
// newLimit bytes or more fails, as it would when memory runs out. The
// matching deletes free with free(), as the sanitizers insist.
static std::atomic<size_t> newLimit{SIZE_MAX};

void *
operator new(size_t size)
{
   if (size >= newLimit.load()) {
      newLimit = SIZE_MAX;
      throw std::bad_alloc();
   }
   void *p = std::malloc(size != 0 ? size : 1);
   if (p == nullptr) {
      throw std::bad_alloc();
   }
   return p;
}

// The compiler cannot see that the replaced new above allocates with malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void
operator delete(void *p) noexcept
{
   std::free(p);
}

void
operator delete(void *p, size_t) noexcept
{
   std::free(p);
}

namespace {

class MsgTest : public testing::Test {
protected:
   MsgTest() : log(dir / "log.txt")
   {
      log.Start();
      Msg_Reset(false);
   }
   ~MsgTest() override
   {
      Msg_Reset(false);
      Msg_SetFrontEnd(nullptr);
      Msg_SetThreadFrontEnd(nullptr);
      Msg_SetDictionary(nullptr);
      Msg_SetConsoleForTest(-1, -1);
      Preference_Exit();
   }

   // Preferences answered from a dictionary file.
   void Preferences(const std::string &content)
   {
      testutil::WriteFile(dir / "prefs.ini", content);
      Dictionary *d = Dictionary_Create();
      ASSERT_TRUE(Dictionary_Load(d, (dir / "prefs.ini").c_str(), true, "UTF-8", nullptr));
      Preference_Init();
      Preference_SetRunTimeLayer(d);
   }

   void Localise(const std::string &content)
   {
      testutil::WriteFile(dir / "msgs.ini", content);
      ASSERT_TRUE(Msg_LoadMessageFile((dir / "msgs.ini").c_str()));
   }

   testutil::TempDir dir;
   testutil::LogCapture log;
};

// A front end that records what reaches it.
struct Recorder {
   static inline std::vector<std::string> posts;
   static inline std::vector<std::string> questions;
   static inline std::vector<int> replies;  // handed out in order
   static void Post(int severity, const char *id, const char *text)
   {
      posts.push_back(std::to_string(severity) + "|" + id + "|" + text);
   }
   static int Question(const char *const buttons[], int def, const char *id, const char *text)
   {
      std::string b;
      for (int i = 0; buttons[i] != nullptr; i++) {
         b += std::string(buttons[i]) + ";";
      }
      questions.push_back(b + "|" + std::to_string(def) + "|" + id + "|" + text);
      if (replies.empty()) {
         return def;
      }
      int r = replies.front();
      replies.erase(replies.begin());
      return r;
   }
   static void Reset()
   {
      posts.clear();
      questions.clear();
      replies.clear();
   }
};

const MsgFrontEnd recorderFrontEnd = {Recorder::Post, Recorder::Question, nullptr, nullptr,
                                      nullptr, nullptr};

}  // namespace

TEST_F(MsgTest, ListKeepsNewestFirstAndLogsIdAndText)
{
   MsgList *list = nullptr;
   MsgList_Append(&list, MSG_MAGIC "(msg.a)first %d", 1);
   MsgList_Append(&list, "plain %s", "text");
   MsgList_Append(&list, MSG_MAGIC "(msg.c)ends\n");
   MsgList_Append(nullptr, MSG_MAGIC "(msg.d)nowhere");
   ASSERT_NE(list, nullptr);
   EXPECT_STREQ(list->next->id, "msg.literal");
   EXPECT_STREQ(list->next->format, "%s");
   EXPECT_STREQ(list->next->next->format, "first %d");
   EXPECT_EQ(list->next->next->numArgs, 1);
   MsgList_Log(list);
   MsgList_Free(list);
   std::string text = log.Text();
   size_t c = text.find("[msg.c] ends\n");
   size_t b = text.find("[msg.literal] plain text\n");
   size_t a = text.find("[msg.a] first 1\n");
   ASSERT_NE(c, std::string::npos);
   EXPECT_LT(c, b);
   EXPECT_LT(b, a);
   EXPECT_EQ(log.Count("ends\n\n"), 0u);
}

TEST_F(MsgTest, PendingListResetGetMessagesAndAppendList)
{
   EXPECT_FALSE(Msg_Present());
   Msg_Reset(true);
   EXPECT_FALSE(log.Contains("Msg_Reset:"));  // nothing pending: nothing logged

   MsgList *list = nullptr;
   MsgList_Append(&list, MSG_MAGIC "(msg.old)older");
   MsgList_Append(&list, MSG_MAGIC "(msg.new)newer\n");
   Msg_Append(MSG_MAGIC "(msg.own)own %s", "text");
   Msg_AppendMsgList(list);
   MsgList_Free(list);
   EXPECT_TRUE(Msg_Present());
   char *all = Msg_GetMessages();
   EXPECT_STREQ(all, "own text\nolder\nnewer\n");
   std::free(all);
   Msg_Reset(true);
   EXPECT_FALSE(Msg_Present());
   EXPECT_TRUE(log.Contains("Msg_Reset:\n"));
   EXPECT_TRUE(log.Contains("[msg.own] own text\n"));
   EXPECT_TRUE(log.Contains("----------------------------------------\n"));
}

TEST_F(MsgTest, PostLogsCaptionAndMessagesThenReachesTheFrontEnd)
{
   Recorder::Reset();
   Msg_SetFrontEnd(&recorderFrontEnd);
   Msg_Append(MSG_MAGIC "(msg.first)first");
   Msg_Post(MSG_ERROR, MSG_MAGIC "(msg.disk.full)Disk %s is full", "sda");
   EXPECT_FALSE(Msg_Present());
   EXPECT_TRUE(log.Contains("Msg_Post: Error\n"));
   EXPECT_TRUE(log.Contains("[msg.disk.full] Disk sda is full\n"));
   ASSERT_EQ(Recorder::posts.size(), 1u);
   EXPECT_EQ(Recorder::posts[0], "3|msg.disk.full|first\nDisk sda is full\n");
}

TEST_F(MsgTest, NoOKTurnsNonErrorPostsIntoAWarningOrNothing)
{
   Recorder::Reset();
   Msg_SetFrontEnd(&recorderFrontEnd);
   Preferences("msg.noOK = TRUE\n");
   Msg_Post(MSG_WARNING, MSG_MAGIC "(msg.w)careful");
   EXPECT_EQ(log.Count("MSG: careful\n"), 1u);
   Msg_Post(MSG_ERROR, MSG_MAGIC "(msg.e)broken");
   EXPECT_EQ(Recorder::posts.size(), 1u);  // errors are still shown

   Preferences("msg.noOK = TRUE\nmsg.noOKnoWarning = yes\n");
   Msg_Post(MSG_WARNING, MSG_MAGIC "(msg.w2)quiet");
   EXPECT_FALSE(log.Contains("MSG: quiet"));
   EXPECT_TRUE(log.Contains("[msg.w2] quiet\n"));
   EXPECT_EQ(Recorder::posts.size(), 1u);
}

TEST_F(MsgTest, QuestionsAnsweredFromPresetAnswers)
{
   Recorder::Reset();
   Msg_SetFrontEnd(&recorderFrontEnd);
   Preferences("answer.msg.q.retry = retry\nanswer.msg.q.abort = \"c_ANCEL\"\n"
               "answer.msg.q.none = neither\n");
   EXPECT_EQ(Msg_Question(msgRetryCancelButtons, 1, MSG_MAGIC "(msg.q.retry)Again?"), 0);
   EXPECT_TRUE(log.Contains("MsgIsAnswered: Using config default 'retry' as the answer for "
                       "'msg.q.retry'\n"));
   EXPECT_TRUE(log.Contains("Msg_Question:\n"));
   EXPECT_TRUE(log.Contains("MsgQuestion: msg.q.retry reply=0\n"));
   EXPECT_EQ(Msg_Question(msgRetryAbortButtons, 0, MSG_MAGIC "(msg.q.abort)Stop?"), 1);
   EXPECT_TRUE(Recorder::questions.empty());
   // A value that names no button leaves the question to the front end.
   Recorder::replies = {0};
   EXPECT_EQ(Msg_Question(msgOKCancelButtons, 1, MSG_MAGIC "(msg.q.none)Go?"), 0);
   EXPECT_EQ(Recorder::questions.size(), 1u);
   // Posts are answered with the OK set: a pre-set answer shows nothing.
   Preferences("answer.msg.p = OK\n");
   Msg_Post(MSG_ERROR, MSG_MAGIC "(msg.p)seen in the log only");
   EXPECT_TRUE(Recorder::posts.empty());
}

TEST_F(MsgTest, AutoAnswerGivesEveryQuestionItsDefault)
{
   Recorder::Reset();
   Msg_SetFrontEnd(&recorderFrontEnd);
   Preferences("msg.autoAnswer = true\n");
   EXPECT_EQ(Msg_Question(msgRetryCancelButtons, 1, MSG_MAGIC "(msg.q1)One?"), 1);
   EXPECT_EQ(Msg_Question(msgRetryCancelButtons, 0, MSG_MAGIC "(msg.q2)Two?"), 0);
   EXPECT_TRUE(Recorder::questions.empty());
   EXPECT_TRUE(log.Contains("MsgIsAnswered: Using builtin default 'Cancel' as the answer for "
                       "'msg.q1'\n"));
}

TEST_F(MsgTest, InvalidRepliesAreAskedAgainThenReplacedByTheDefault)
{
   Recorder::Reset();
   Msg_SetFrontEnd(&recorderFrontEnd);
   Recorder::replies = {7, 1};
   EXPECT_EQ(Msg_Question(msgOKCancelButtons, 0, MSG_MAGIC "(msg.q)Sure?"), 1);
   EXPECT_TRUE(log.Contains("MsgQuestion: Invalid reply: 7 (max = 1). Reposting question.\n"));
   ASSERT_EQ(Recorder::questions.size(), 2u);
   EXPECT_EQ(Recorder::questions[0], "OK;Cancel;|0|msg.q|Sure?\n");

   Recorder::replies = {5, 9};
   EXPECT_EQ(Msg_Question(msgOKCancelButtons, 0, MSG_MAGIC "(msg.q)Sure?"), 0);
   EXPECT_TRUE(log.Contains("MsgQuestion: Invalid reply: 9 (max = 1).  Using default value.\n"));
   EXPECT_TRUE(log.Contains("MsgQuestion: msg.q reply=0\n"));
}

// The question slot is offered nine of twelve buttons: a reply naming one
// of the other three is as invalid as one naming no button at all.
TEST_F(MsgTest, ARepliedButtonThatWasNotOfferedIsNeverReturned)
{
   Recorder::Reset();
   Msg_SetFrontEnd(&recorderFrontEnd);
   std::vector<std::string> names;
   for (int i = 0; i < 12; i++) {
      names.push_back(MSG_MAGIC "(button.b" + std::to_string(i) + ")B" + std::to_string(i));
   }
   std::vector<const char *> buttons;
   for (const std::string &n : names) {
      buttons.push_back(n.c_str());
   }
   buttons.push_back(nullptr);

   Recorder::replies = {10, 11};
   EXPECT_EQ(Msg_Question(buttons.data(), 2, MSG_MAGIC "(msg.many)Which?"), 2);
   ASSERT_EQ(Recorder::questions.size(), 2u);
   EXPECT_EQ(Recorder::questions[0].substr(0, Recorder::questions[0].find('|')),
             "B0;B1;B2;B3;B4;B5;B6;B7;B8;");
   EXPECT_TRUE(log.Contains("MsgQuestion: Invalid reply: 10 (max = 8). Reposting question.\n"));
   EXPECT_TRUE(log.Contains("MsgQuestion: Invalid reply: 11 (max = 8).  Using default value.\n"));

   Recorder::replies = {10, 8};
   EXPECT_EQ(Msg_Question(buttons.data(), 2, MSG_MAGIC "(msg.many)Which?"), 8);
}

TEST_F(MsgTest, AnEmptyMessageKeepsItsLine)
{
   Msg_Append(MSG_MAGIC "(msg.first)first");
   Msg_Append("%s", "");
   Msg_Append(MSG_MAGIC "(msg.last)last");
   char *all = Msg_GetMessages();
   EXPECT_STREQ(all, "first\n\nlast\n");
   std::free(all);
}

TEST_F(MsgTest, LocalisationReordersPositionalArgumentsAndButtons)
{
   Recorder::Reset();
   Msg_SetFrontEnd(&recorderFrontEnd);
   Localise("msg.dump.count = \"%2$d Abbilder von %1$s\"\n"
            "button.cancel = Abbrechen\n"
            "msg.msg.error = Fehler\n"
            "msg.bad = \"%1$d falsch\"\n");
   char *text = Msg_Format(MSG_MAGIC "(msg.dump.count)%s has %d dumps", "host", 3);
   EXPECT_STREQ(text, "3 Abbilder von host");
   std::free(text);
   // A translation that does not fit the arguments gives way to the default.
   text = Msg_Format(MSG_MAGIC "(msg.bad)%s is bad", "x");
   EXPECT_STREQ(text, "x is bad");
   std::free(text);
   Msg_Question(msgOKCancelButtons, 0, MSG_MAGIC "(msg.dump.count)%s has %d dumps", "h", 2);
   ASSERT_EQ(Recorder::questions.size(), 1u);
   EXPECT_EQ(Recorder::questions[0], "OK;Abbrechen;|0|msg.dump.count|2 Abbilder von h\n");
   Msg_Post(MSG_ERROR, MSG_MAGIC "(msg.x)x");
   EXPECT_TRUE(log.Contains("Msg_Post: Fehler\n"));
}

TEST_F(MsgTest, ThreadOverridesWinOverTheProcessFrontEnd)
{
   Recorder::Reset();
   static std::vector<std::string> mine;
   MsgFrontEnd own = {};
   own.post = [](int, const char *id, const char *) { mine.push_back(id); };
   Msg_SetFrontEnd(&recorderFrontEnd);
   std::thread t([&] {
      Msg_SetThreadFrontEnd(&own);
      Msg_Post(MSG_INFO, MSG_MAGIC "(msg.thread)from the thread");
   });
   t.join();
   Msg_Post(MSG_INFO, MSG_MAGIC "(msg.main)from main");
   EXPECT_EQ(mine, std::vector<std::string>{"msg.thread"});
   ASSERT_EQ(Recorder::posts.size(), 1u);
   EXPECT_EQ(Recorder::posts[0].find("0|msg.main|"), 0u);
}

TEST_F(MsgTest, PendingListsOfThreadsAreKeptApart)
{
   constexpr int THREADS = 8;
   constexpr int MESSAGES = 200;
   std::atomic<int> wrong{0};
   std::vector<std::thread> threads;
   for (int t = 0; t < THREADS; t++) {
      threads.emplace_back([t, &wrong] {
         for (int i = 0; i < MESSAGES; i++) {
            Msg_Append(MSG_MAGIC "(msg.t)%d:%d", t, i);
         }
         char *all = Msg_GetMessages();
         std::string want;
         for (int i = 0; i < MESSAGES; i++) {
            want += std::to_string(t) + ":" + std::to_string(i) + "\n";
         }
         if (want != all) {
            wrong++;
         }
         std::free(all);
         Msg_Reset(false);
         if (Msg_Present()) {
            wrong++;
         }
         Msg_Append(MSG_MAGIC "(msg.left)left behind by %d", t);  // freed when the thread ends
      });
   }
   for (auto &t : threads) {
      t.join();
   }
   EXPECT_EQ(wrong.load(), 0);
   // A new thread, which may get a finished thread's number, starts empty.
   bool inherited = true;
   std::thread([&] { inherited = Msg_Present(); }).join();
   EXPECT_FALSE(inherited);
   EXPECT_FALSE(Msg_Present());
}

namespace {

// Appends a message from a thread-local destructor, which runs while its
// thread ends and after the library has let go of the thread's state.
struct LateAppender {
   ~LateAppender() { Msg_Append(MSG_MAGIC "(msg.late)appended while the thread ends"); }
};
thread_local LateAppender lateAppender;

}  // namespace

TEST_F(MsgTest, MessagesAppendedWhileAThreadEndsReachNoLaterThread)
{
   Recorder::Reset();
   Msg_SetFrontEnd(&recorderFrontEnd);
   for (int round = 0; round < 8; round++) {
      std::thread([] {
         (void)&lateAppender;  // constructed first, so destroyed last
         Msg_Append(MSG_MAGIC "(msg.early)pending");
      }).join();
      // The next thread is likely to get the same thread-local block.
      bool inherited = true;
      int reply = -1;
      std::thread([&] {
         inherited = Msg_Present();
         Msg_Post(MSG_INFO, MSG_MAGIC "(msg.next)next thread");
         reply = Msg_Question(msgOKCancelButtons, 1, MSG_MAGIC "(msg.ask)Go on?");
      }).join();
      EXPECT_FALSE(inherited);
      EXPECT_EQ(reply, 1);
   }
   ASSERT_EQ(Recorder::posts.size(), 8u);
   EXPECT_EQ(Recorder::posts.back(), "0|msg.next|next thread\n");
   EXPECT_EQ(Recorder::questions.back(), "OK;Cancel;|1|msg.ask|Go on?\n");
}

TEST_F(MsgTest, ConsoleQuestionReadsANumberAndGivesUpAtEndOfInput)
{
   int in[2];
   int out[2];
   ASSERT_TRUE(usertest::Pipe(in));
   ASSERT_TRUE(usertest::Pipe(out));
   Msg_SetConsoleForTest(in[0], out[1]);
   std::string answers = "\n  x\n7\n 1 \r\n";
   ASSERT_EQ(write(in[1], answers.data(), answers.size()), (ssize_t)answers.size());
   EXPECT_EQ(Msg_Question(msgRetryCancelButtons, 0, MSG_MAGIC "(msg.c)Try again?"), 1);
   // End of input: the default, without waiting.
   close(in[1]);
   EXPECT_EQ(Msg_Question(msgRetryCancelButtons, 1, MSG_MAGIC "(msg.c)Try again?"), 1);
   close(out[1]);
   std::string shown;
   char buf[4096];
   ssize_t n;
   while ((n = read(out[0], buf, sizeof buf)) > 0) {
      shown.append(buf, (size_t)n);
   }
   close(in[0]);
   close(out[0]);
   std::string head = "\n\nQuillon Orvex dump collector Question:\nTry again?\n\n0) Retry\n1) Cancel\n\n";
   EXPECT_EQ(shown.find(head), 0u) << shown;
   std::string prompt = "Select a number from 0-1: ";
   // Prompt; empty line: prompt alone; "x" and "7": blank lines and prompt.
   EXPECT_EQ(shown.substr(head.size(), 3 * prompt.size() + 4 + prompt.size()),
             prompt + prompt + "\n\n" + prompt + "\n\n" + prompt);
}

TEST_F(MsgTest, ConsolePostWritesCaptionAndText)
{
   int out[2];
   ASSERT_TRUE(usertest::Pipe(out));
   Msg_SetConsoleForTest(-1, out[1]);
   Msg_Post(MSG_WARNING, MSG_MAGIC "(msg.w)Low on space");
   Msg_SetConsoleForTest(-1, -1);
   close(out[1]);
   char buf[512];
   ssize_t n = read(out[0], buf, sizeof buf);
   close(out[0]);
   ASSERT_GT(n, 0);
   EXPECT_EQ(std::string(buf, (size_t)n), "Quillon Orvex dump collector Warning: Low on space\n");
}

TEST_F(MsgTest, ConsoleProgressPadsTheLine)
{
   int out[2];
   ASSERT_TRUE(usertest::Pipe(out));
   Msg_SetConsoleForTest(-1, out[1]);
   Msg_Progress("Copying", -1);
   Msg_Progress(nullptr, 50);
   Msg_Progress(nullptr, 101);
   Msg_SetConsoleForTest(-1, -1);
   close(out[1]);
   std::string shown;
   char buf[1024];
   ssize_t n;
   while ((n = read(out[0], buf, sizeof buf)) > 0) {
      shown.append(buf, (size_t)n);
   }
   close(out[0]);
   std::string half = "Copying (50%)";
   half.resize(79, ' ');
   EXPECT_NE(shown.find("\r" + half), std::string::npos);
   EXPECT_EQ(shown.back(), '\n');
   EXPECT_EQ(shown.size(), 3 * 80 + 1u);
}

using MsgDeathTest = MsgTest;

TEST_F(MsgDeathTest, RejectedFormatIsFatal)
{
   GTEST_FLAG_SET(death_test_style, "threadsafe");
   EXPECT_DEATH(
      {
         testutil::StartLogEchoingToStderr(dir / "death.log");
         MsgList *list = nullptr;
         // Through a variable: the compiler would refuse the literal.
         const char *bad = MSG_MAGIC "(msg.bad)%n";
         MsgList_Append(&list, bad, nullptr);
      },
      TEST_ON_WINDOWS ? "PANIC lib/misc/msgList:"  // one line: the simple syntax has no groups
                      : "MsgList_VAppend error: %n is not allowed(.|\n)*format <%n>(.|\n)*"
                        "PANIC lib/misc/msgList:");
}

// A child that panics while a text is put together leaves that text
// behind: the leak checker is not to count it.
static void
IgnoreLeaksOfThisChild()
{
#if defined(__SANITIZE_ADDRESS__)
   __lsan_disable();
#endif
}

// Out of memory while a text is put together ends in a panic, with its
// log and core image, rather than in an exception nobody catches.
TEST_F(MsgDeathTest, RunningOutOfMemoryWhileAssemblingATextIsAPanic)
{
   GTEST_FLAG_SET(death_test_style, "threadsafe");
   std::string part(4000, 'x');
   // Each message fits, the text of all of them does not.
   EXPECT_EXIT(
      {
         IgnoreLeaksOfThisChild();
         testutil::StartLogEchoingToStderr(dir / "death.log");
         for (int i = 0; i < 4; i++) {
            Msg_Append("%s", part.c_str());
         }
         newLimit = 10000;
         std::free(Msg_GetMessages());
         std::exit(0);
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE),
      TEST_ON_WINDOWS ? "MEM_ALLOC lib/user/msg:" TEST_RE_DIGITS "\n"
                      : "MEM_ALLOC lib/user/msg:[0-9]+\n(.|\n)*Exiting\n");
   // One conversion alone is too long.
   EXPECT_EXIT(
      {
         IgnoreLeaksOfThisChild();
         testutil::StartLogEchoingToStderr(dir / "death.log");
         std::string huge(20000, 'y');
         newLimit = 10000;
         std::free(Msg_Format(MSG_MAGIC "(msg.huge)%s", huge.c_str()));
         std::exit(0);
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE), "MEM_ALLOC lib/string/msgFmt:" TEST_RE_DIGITS "\n");
}

TEST_F(MsgDeathTest, OverlongIdIsFatal)
{
   GTEST_FLAG_SET(death_test_style, "threadsafe");
   std::string id(128, 'a');
   std::string text = MSG_MAGIC "(" + id + ")text";
   EXPECT_DEATH(Msg_Append(text.c_str()), "NOT_IMPLEMENTED lib/misc/msgList:");
   std::string ok = MSG_MAGIC "(" + std::string(127, 'a') + ")text";
   Msg_Append(ok.c_str());
   EXPECT_TRUE(Msg_Present());
}
