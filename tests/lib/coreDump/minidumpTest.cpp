// Windows: the minidump a panic leaves in the per-user safe temporary
// directory, read back with the debug help library: the fake exception
// with the panicking thread's registers and stack, and the other threads;
// the backtrace in the log; names already taken.
#include <windows.h>
// dbghelp.h after windows.h, which it relies on.
#include <dbghelp.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "lib/coreDump/coreDump.h"
#include "lib/file/file.h"
#include "lib/misc/panic.h"
#include "tests/support/panicDeathTest.h"
#include "tests/support/testPlatform.h"

namespace {

constexpr int OTHER_THREADS = 3;
constexpr DWORD FAKE_EXCEPTION = 0xCAFEBABE;

// Starts threads that wait for ever, returning once all of them run.
void
StartWaitingThreads()
{
   static std::atomic<int> running{0};
   for (int i = 0; i < OTHER_THREADS; i++) {
      std::thread([] {
         running++;
         for (;;) {
            Sleep(INFINITE);
         }
      }).detach();
   }
   while (running.load() < OTHER_THREADS) {
      Sleep(1);
   }
}

// Creates, in the child, the files that the first `count` candidates would have.
void
TakeNames(int count)
{
   char *dir = File_GetSafeTmpDir(true);
   ASSERT_NE(dir, nullptr);
   std::string stem = std::string(dir) + "\\core_dump_tests-" +
                      std::to_string(GetCurrentProcessId());
   std::free(dir);
   for (int i = 0; i < count; i++) {
      std::string name = i == 0 ? stem + ".dmp" : stem + "-" + std::to_string(i - 1) + ".dmp";
      CloseHandle(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
   }
}

// A minidump mapped for reading.
class Minidump {
public:
   explicit Minidump(const std::string &path)
   {
      file_ = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          0, nullptr);
      mapping_ = file_ == INVALID_HANDLE_VALUE
                    ? nullptr
                    : CreateFileMappingA(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
      view_ = mapping_ == nullptr ? nullptr : MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0);
   }
   ~Minidump()
   {
      if (view_ != nullptr) {
         UnmapViewOfFile(view_);
      }
      if (mapping_ != nullptr) {
         CloseHandle(mapping_);
      }
      if (file_ != INVALID_HANDLE_VALUE) {
         CloseHandle(file_);
      }
   }
   Minidump(const Minidump &) = delete;
   Minidump &operator=(const Minidump &) = delete;

   const char *Bytes() const { return static_cast<const char *>(view_); }

   template <typename T>
   const T *Stream(ULONG type) const
   {
      PMINIDUMP_DIRECTORY dir = nullptr;
      PVOID stream = nullptr;
      ULONG size = 0;
      if (view_ == nullptr || !MiniDumpReadDumpStream(view_, type, &dir, &stream, &size)) {
         return nullptr;
      }
      return static_cast<const T *>(stream);
   }

   template <typename T>
   const T *At(RVA rva) const
   {
      return reinterpret_cast<const T *>(Bytes() + rva);
   }

private:
   HANDLE file_ = INVALID_HANDLE_VALUE;
   HANDLE mapping_ = nullptr;
   void *view_ = nullptr;
};

// The one image named in the log, or "".
std::string
ImageNamedIn(const std::string &log)
{
   auto lines = MatchingLines(log, "CoreDump: Writing minidump to (.*)$");
   return lines.size() == 1 ? lines[0][1] : "";
}

}  // namespace

// Named in the backtrace: external linkage, so that the executable exports it.
__attribute__((noinline)) void
PanicFromNamedFrame(int disk)
{
   Panic("disk %d is gone\n", disk);
}

TEST_F(PanicDeathTest, MinidumpHoldsTheExceptionAndEveryThread)
{
   EXPECT_EXIT(
      {
         StartChild();
         StartWaitingThreads();
         PanicFromNamedFrame(7);
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE), "disk 7 is gone");
   std::string log = ReadLog();
   EXPECT_NE(log.find("CoreDump_CoreDump: faking exception to get context\n"), std::string::npos);
   std::string image = ImageNamedIn(log);
   ASSERT_NE(image, "") << log;
   EXPECT_EQ(MatchingLines(image, "^[^/]+\\\\quillon-[^\\\\]+\\\\core_dump_tests-[0-9]+\\.dmp$").size(),
             1u)
      << image;
   EXPECT_EQ(image.rfind(dir + "\\", 0), 0u) << image;
   EXPECT_EQ(log.find("Minidump failed"), std::string::npos) << log;

   Minidump dump(image);
   ASSERT_NE(dump.Bytes(), nullptr) << image;
   EXPECT_EQ(std::string(dump.Bytes(), 4), "MDMP");
   const auto *exception = dump.Stream<MINIDUMP_EXCEPTION_STREAM>(ExceptionStream);
   ASSERT_NE(exception, nullptr);
   EXPECT_EQ(exception->ExceptionRecord.ExceptionCode, FAKE_EXCEPTION);
   ASSERT_GE(exception->ThreadContext.DataSize, offsetof(CONTEXT, Rsp) + sizeof(DWORD64));
   DWORD64 rsp;  // the image aligns nothing
   std::memcpy(&rsp, dump.At<char>(exception->ThreadContext.Rva) + offsetof(CONTEXT, Rsp),
               sizeof rsp);

   // The panicking thread, with the stack its registers point into, and the others.
   const auto *threads = dump.Stream<MINIDUMP_THREAD_LIST>(ThreadListStream);
   ASSERT_NE(threads, nullptr);
   bool panicking = false;
   for (ULONG i = 0; i < threads->NumberOfThreads; i++) {
      const MINIDUMP_THREAD &t = threads->Threads[i];
      EXPECT_GT(t.ThreadContext.DataSize, 0u) << t.ThreadId;
      if (t.ThreadId == exception->ThreadId) {
         panicking = true;
         const MINIDUMP_MEMORY_DESCRIPTOR &stack = t.Stack;
         EXPECT_GE(rsp, stack.StartOfMemoryRange);
         EXPECT_LT(rsp, stack.StartOfMemoryRange + stack.Memory.DataSize);
      }
   }
   EXPECT_TRUE(panicking);
   int others = (int)threads->NumberOfThreads - 1;
   EXPECT_GE(others, OTHER_THREADS);
   EXPECT_NE(log.find("CoreDump: " + std::to_string(others) + " other threads with their registers\n"),
             std::string::npos)
      << log;

   // The backtrace names the program's own functions, which it exports.
   auto named = MatchingLines(log, "backtrace\\[[0-9][0-9]\\] .*\\\\core_dump_tests\\.exe base "
                                   "0x[0-9a-f]+ 0x[0-9a-f]+:0x[0-9a-f]+\\]PanicFromNamedFrame\\(int\\) "
                                   "\\+ 0x[0-9a-f]+$");
   EXPECT_EQ(named.size(), 1u) << log;
}

TEST_F(PanicDeathTest, ExistingMinidumpNamesAreSkipped)
{
   EXPECT_EXIT(
      {
         StartChild();
         TakeNames(3);
         Panic("names taken\n");
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE), "names taken");
   std::string log = ReadLog();
   EXPECT_EQ(MatchingLines(ImageNamedIn(log), "\\\\core_dump_tests-[0-9]+-2\\.dmp$").size(), 1u)
      << log;
   EXPECT_EQ(log.find("Cannot open minidump file"), std::string::npos) << log;
}

// Files made after the names were chosen: every candidate fails, the
// image is given up and the panic goes on.
TEST_F(PanicDeathTest, NoMinidumpCandidateLeftGivesUpTheImage)
{
   EXPECT_EXIT(
      {
         StartChild();
         CoreDump_Prepare();
         TakeNames(5);
         Panic("no room\n");
      },
      testing::ExitedWithCode(TEST_EXIT_MINUS_ONE), "no room");
   std::string log = ReadLog();
   // The system's text for ERROR_FILE_EXISTS ("The file exists." on Windows).
   EXPECT_EQ(MatchingLines(log, "CoreDump: Cannot open minidump file [^ ]+\\\\core_dump_tests-"
                                "[0-9]+(-[0-3])?\\.dmp: .*[Ff]ile exists\\.$")
                .size(),
             5u)
      << log;
   EXPECT_NE(log.find("CoreDump: No available minidump filename, quitting...\n"), std::string::npos);
   EXPECT_EQ(log.find("Writing minidump"), std::string::npos);
   std::string last = LastLine(log);
   EXPECT_EQ(last.substr(last.size() - 7), "Exiting") << last;
}
