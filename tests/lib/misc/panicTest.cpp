// Panic and the allocators that must succeed, each panic in a child
// process with its own log file and temporary directory.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "lib/log/log.h"
#include "lib/misc/panic.h"
#include "tests/support/panicDeathTest.h"
#include "tests/support/testPlatform.h"

// The impossible allocations below must fail, not stop the sanitizer.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char *
__asan_default_options()
{
   return "allocator_may_return_null=1";
}
#endif
#if defined(__SANITIZE_THREAD__)
extern "C" const char *
__tsan_default_options()
{
   return "allocator_may_return_null=1";
}
#endif

namespace {

constexpr size_t IMPOSSIBLE_SIZE = SIZE_MAX / 2;

}  // namespace

// Named in the backtrace: external linkage, so that the executable exports it.
__attribute__((noinline)) void
PanicFromNamedFrame(int disk)
{
   Panic("disk %d is gone\n", disk);
}

void *AllocateTooMuch() { return Util_SafeMalloc(IMPOSSIBLE_SIZE); }
constexpr int ALLOCATE_LINE = __LINE__ - 1;

TEST_F(PanicDeathTest, PanicLogsMessageBacktraceAndUserMessageThenExits)
{
   EXPECT_EXIT(
      {
         StartChild();
         PanicFromNamedFrame(7);
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE), "disk 7 is gone");
   std::string log = ReadLog();
   EXPECT_NE(log.find("disk 7 is gone"), std::string::npos);

   // Frames from the innermost out: Panic before the function that called it.
   size_t header = log.find("Backtrace:\n");
   ASSERT_NE(header, std::string::npos);
   int panicFrame = -1;
   int callerFrame = -1;
   int expected = 0;
   std::string rest = log.substr(header);
   for (const auto &m : MatchingLines(rest, "backtrace\\[([0-9][0-9])\\] frame 0x[0-9a-f]+ IP 0x[0-9a-f]+ "
                                            "params (0x[0-9a-f]+|0) (0x[0-9a-f]+|0) "
                                            "(0x[0-9a-f]+|0) (0x[0-9a-f]+|0) (.*)$")) {
      EXPECT_EQ(std::stoi(m[1]), expected++);
      const std::string &symbol = m[6];
      if (panicFrame < 0 && symbol.find("]Panic(char const*, ...) + 0x") != std::string::npos) {
         panicFrame = expected - 1;
         EXPECT_NE(symbol.find(TEST_ON_WINDOWS ? "\\panic_tests.exe base 0x" : "/panic_tests base 0x"),
                   std::string::npos)
            << symbol;
      }
      if (symbol.find("]PanicFromNamedFrame(int) + 0x") != std::string::npos) {
         callerFrame = expected - 1;
      }
   }
   EXPECT_GE(panicFrame, 0) << rest;
   EXPECT_GT(callerFrame, panicFrame) << rest;
   EXPECT_LE(expected, 32);

   EXPECT_NE(log.find("Msg_Post: Error\n"), std::string::npos);
   EXPECT_NE(log.find("[msg.log.error.unrecoverable] Quillon Orvex dump collector unrecoverable "
                      "error: ("),
             std::string::npos);
   EXPECT_NE(log.find("[msg.panic.haveLog] A log file is available in \"" + logPath + "\"."),
             std::string::npos);
   EXPECT_NE(log.find("[msg.panic.response] We will respond on the basis of your support "
                      "entitlement.\n"),
             std::string::npos);
   EXPECT_NE(log.find(std::string(40, '-') + "\n"), std::string::npos);
   std::string last = LastLine(log);
   EXPECT_EQ(last.substr(last.size() - 7), "Exiting") << last;
}

TEST_F(PanicDeathTest, LongMessageReachesStderrCutTo1023Bytes)
{
   std::string errPath = dir + "/stderr";
   EXPECT_EXIT(
      {
         StartChild();
         int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
         dup2(fd, STDERR_FILENO);
         Panic("%s", std::string(2000, 'x').c_str());
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE), "");
   std::string err = PanicTestReadFile(errPath);
   EXPECT_EQ(std::min(err.find_first_not_of('x'), err.size()), 1023u);
}

// Panic from an exit handler: the second entry logs its message and
// "Panic loop" once and ends the process with status 1.
TEST_F(PanicDeathTest, PanicWhilePanickingEndsWithPanicLoop)
{
   EXPECT_EXIT(
      {
         StartChild();
         atexit([] { Panic("again from the exit handler\n"); });
         Panic("first\n");
      },
      testing::ExitedWithCode(1),
      // GoogleTest's own expressions on Windows know no alternatives.
      TEST_ON_WINDOWS ? "again from the exit handler\nPanic loop\n"
                      : "first\n(.|\n)*again from the exit handler\nPanic loop\n");
   std::string log = ReadLog();
   size_t exiting = log.find("Exiting\n");
   size_t again = log.find("again from the exit handler\n");
   size_t loop = log.find("Panic loop\n");
   ASSERT_NE(loop, std::string::npos) << log;
   EXPECT_LT(exiting, again);
   EXPECT_LT(again, loop);
   EXPECT_EQ(log.find("Panic loop\n", loop + 1), std::string::npos);
   EXPECT_EQ(LastLine(log).find("Panic loop"), LastLine(log).size() - 10);
}

namespace {

PanicHandler fatalPath;

// The fatal path, which panics once more when it has seen the second entry.
void
PanicAgainOnSecondEntry(const char *msg, int32_t entry)
{
   fatalPath(msg, entry);
   if (entry == 2) {
      Panic("third\n");
   }
}

}  // namespace

// The third entry logs nothing: only standard error hears of it.
TEST_F(PanicDeathTest, ThirdEntryLogsNothing)
{
   EXPECT_EXIT(
      {
         StartChild();
         fatalPath = Panic_SetHandler(PanicAgainOnSecondEntry);
         atexit([] { Panic("second\n"); });
         Panic("first\n");
      },
      testing::ExitedWithCode(1), "second\nthird\nPanic loop\n$");
   std::string log = ReadLog();
   size_t second = log.find("I120: second\n");
   ASSERT_NE(second, std::string::npos) << log;
   size_t loop = log.find("I120: Panic loop\n", second);
   ASSERT_NE(loop, std::string::npos) << log;
   EXPECT_EQ(log.find("Panic loop", loop + 16), std::string::npos) << log;
   EXPECT_EQ(log.find("third"), std::string::npos) << log;
}

TEST_F(PanicDeathTest, ImpossibleAllocationPanicsWithCallersPosition)
{
   EXPECT_EXIT(
      {
         StartChild();
         AllocateTooMuch();
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE),
      std::string(TEST_ON_WINDOWS ? "" : "(^|\n)") +
         "Unrecoverable memory allocation failure at tests/lib/misc/panicTest:" +
         std::to_string(ALLOCATE_LINE) + "\n");
   EXPECT_EXIT(
      {
         StartChild();
         MustCalloc(4711, IMPOSSIBLE_SIZE, 4, "lib/x/caller", 12);
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE),
      std::string(TEST_ON_WINDOWS ? "" : "(^|\n)") +
         "Unrecoverable memory allocation failure at lib/x/caller:12\\.  Bug number: 4711\n");
}

TEST_F(PanicDeathTest, InternalErrorReportsNameModuleAndLine)
{
   EXPECT_EXIT(
      {
         StartChild();
         NOT_REACHED_BUG(99);
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE), "^NOT_REACHED tests/lib/misc/panicTest:" TEST_RE_DIGITS " bugNr=99\n");
   EXPECT_EXIT(
      {
         StartChild();
         ASSERT_BUG(12, 1 + 1 == 3);
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE), "^ASSERT tests/lib/misc/panicTest:" TEST_RE_DIGITS " bugNr=12\n");
}

namespace {

// The core images under dir, at any depth.
std::vector<std::string>
CoreImagesUnder(const std::string &dir)
{
   std::vector<std::string> out;
   std::error_code ec;
   for (const auto &entry : std::filesystem::recursive_directory_iterator(dir, ec)) {
      if (entry.path().extension() == ".dmp") {
         out.push_back(entry.path().string());
      }
   }
   return out;
}

}  // namespace

/*
 * The test program's main installed the fatal path before anything else,
 * as every program's main does: a panic before any log starts has its
 * message on standard error and still writes a core image, and its log
 * lines wait in the pending ring (here for a log an exit handler starts).
 */
TEST_F(PanicDeathTest, PanicBeforeTheLogStartsLeavesACoreImageAndItsLines)
{
   std::string errPath = dir + "/stderr";
   EXPECT_EXIT(
      {
         PanicTestSetTempBase(dir);
         int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
         dup2(fd, STDERR_FILENO);
         static std::string path = logPath;
         atexit([] {
            Log_InitWithFile(path.c_str(), "test");
            Log_FlushPending();
            Log_Exit();
         });
         PanicFromNamedFrame(9);
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE), "");
   std::string err = PanicTestReadFile(errPath);
   EXPECT_EQ(err.rfind("disk 9 is gone", 0), 0u) << err;  // "\r\n" on Windows
   EXPECT_EQ(CoreImagesUnder(dir).size(), 1u) << err;

   std::string log = ReadLog();
   size_t message = log.find("disk 9 is gone\n");
   size_t backtrace = log.find("Backtrace:\n");
   size_t image = log.find("CoreDump: Writing minidump to ");
   ASSERT_NE(message, std::string::npos) << log;
   EXPECT_LT(message, backtrace) << log;
   EXPECT_LT(backtrace, image) << log;
   EXPECT_NE(log.find("unrecoverable error: (", image), std::string::npos) << log;
   EXPECT_NE(log.find("Exiting\n", image), std::string::npos) << log;
}

// Until a higher layer installs its handler, standard error is all the
// evidence; a handler sees the message once it is there, and Panic ends
// the process when the handler returns.
TEST_F(PanicDeathTest, HandlerDecidesWhatFollowsStandardError)
{
   EXPECT_EXIT(
      {
         StartChild();
         Panic_SetHandler(nullptr);
         Panic("early %d\n", 3);
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE), "^early 3\n$");
   EXPECT_EQ(ReadLog().find("early 3"), std::string::npos);
   EXPECT_EXIT(
      {
         Panic_SetHandler([](const char *msg, int32_t entry) {
            std::fprintf(stderr, "handler %d: %s", entry, msg);
         });
         Panic("late %d\n", 4);
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE), "^late 4\nhandler 1: late 4\n$");
}

// A module path is the file's path from the tree root, whatever the tree
// lies under: a checkout in /var/lib/... or a test under tests/lib/...
// must not lose the part of the path before a "/lib/".
TEST(PanicSourcePath, IsThePathFromTheTreeRootWithoutExtension)
{
   EXPECT_STREQ(SALVOR_SOURCE_PATH, "tests/lib/misc/panicTest");
   EXPECT_EQ(__FILE__[0], 't') << "the build keeps absolute paths: " << __FILE__;
   static constexpr PanicSourcePath nested("lib/build/salvor/lib/file/fileIO.cpp");
   EXPECT_STREQ(nested.text, "lib/build/salvor/lib/file/fileIO");
   static constexpr PanicSourcePath dotted("lib/v1.2/noExtension");
   EXPECT_STREQ(dotted.text, "lib/v1.2/noExtension");
}

TEST(MustAlloc, NullTextsGiveNullAndShortCopiesStopAtNul)
{
   // Zero bytes may give null or a block; both are fine.
   free(MustMalloc(-1, 0, "lib/x", 1));
   free(MustCalloc(-1, 0, 8, "lib/x", 1));
   EXPECT_EQ(MustStrdup(-1, nullptr, "lib/x", 1), nullptr);
   EXPECT_EQ(MustStrndup(-1, nullptr, 3, "lib/x", 1), nullptr);

   const char bytes[3] = {'a', 'b', '\0'};
   char *copy = MustStrndup(-1, bytes, 3, "lib/x", 1);
   EXPECT_STREQ(copy, "ab");
   free(copy);
   const char unterminated[4] = {'w', 'x', 'y', 'z'};
   copy = MustStrndup(-1, unterminated, 2, "lib/x", 1);
   EXPECT_STREQ(copy, "wx");
   free(copy);
}
