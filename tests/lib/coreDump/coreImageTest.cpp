// The core image a panic leaves in the per-user safe temporary directory:
// an ELF core file with the panicking thread's registers and the memory
// they point into, created under a name no file had.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/procfs.h>
#include <sys/stat.h>
#include <sys/user.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "lib/coreDump/coreDump.h"
#include "lib/file/file.h"
#include "lib/misc/panic.h"
#include "lib/misc/platFault.h"
#include "tests/support/panicDeathTest.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"

namespace {

// The safe temporary directory under base. TMPDIR is put back afterwards:
// the next test's temporary directory must not land in this one's, which
// is gone by then.
std::string
SafeDir(const std::string &base)
{
   const char *saved = std::getenv("TMPDIR");
   std::optional<std::string> old;
   if (saved != nullptr) {
      old = saved;
   }
   setenv("TMPDIR", base.c_str(), 1);
   char *dir = File_GetSafeTmpDir(true);
   std::string out = dir != nullptr ? dir : "";
   free(dir);
   if (old) {
      setenv("TMPDIR", old->c_str(), 1);
   } else {
      unsetenv("TMPDIR");
   }
   return out;
}

std::vector<std::string>
ImageFiles(const std::string &dir)
{
   std::vector<std::string> out;
   for (const std::string &name : testutil::ListFiles(dir)) {
      if (name.size() > 4 && name.substr(name.size() - 4) == ".dmp") {
         out.push_back(name);
      }
   }
   return out;
}

// Creates, in the child, the files that the first `count` candidates would have.
void
TakeNames(int count)
{
   std::string dir = SafeDir(std::getenv("TMPDIR"));
   std::string stem = dir + "/core_dump_tests-" + std::to_string(getpid());
   for (int i = 0; i < count; i++) {
      std::string name = i == 0 ? stem + ".dmp" : stem + "-" + std::to_string(i - 1) + ".dmp";
      close(open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
   }
}

// The head of an image (headers and notes) and its size; the memory in
// it, which can be large and sparse, is read piece by piece.
struct CoreFile {
   explicit CoreFile(const std::string &path)
   {
      fd = open(path.c_str(), O_RDONLY);
      struct stat st;
      size = fstat(fd, &st) == 0 ? (uint64_t)st.st_size : 0;
      bytes = Read(0, std::min<uint64_t>(size, 4 << 20));
   }
   ~CoreFile() { close(fd); }

   std::string Read(uint64_t offset, size_t len) const
   {
      std::string out(len, '\0');
      ssize_t n = pread(fd, out.data(), len, (off_t)offset);
      out.resize(n > 0 ? (size_t)n : 0);
      return out;
   }

   int fd;
   uint64_t size;
   std::string bytes;
   const Elf64_Ehdr *Header() const { return reinterpret_cast<const Elf64_Ehdr *>(bytes.data()); }
   const Elf64_Phdr *Phdr(int i) const
   {
      return reinterpret_cast<const Elf64_Phdr *>(bytes.data() + Header()->e_phoff) + i;
   }
};

constexpr int OTHER_THREADS = 3;
// Threads of the runtime beside the program's own: the thread sanitizer
// keeps one in the background.
#if defined(__SANITIZE_THREAD__)
constexpr int RUNTIME_THREADS = 1;
#else
constexpr int RUNTIME_THREADS = 0;
#endif

// Starts threads that wait for ever, returning once all of them run.
void
StartWaitingThreads()
{
   static std::atomic<int> running{0};
   for (int i = 0; i < OTHER_THREADS; i++) {
      std::thread([] {
         running++;
         for (;;) {
            pause();
         }
      }).detach();
   }
   while (running.load() < OTHER_THREADS) {
      sched_yield();
   }
}

// How many threads gdb finds in the image of this test program.
int
ThreadsInImage(const std::string &image)
{
   char exe[4096];
   ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
   exe[n > 0 ? n : 0] = '\0';
   testutil::RunResult r =
      testutil::Run({"/usr/bin/gdb", "-batch", "-nx", "-ex", "info threads", exe, image});
   EXPECT_TRUE(r.exit.Exited()) << r.err;
   return (int)MatchingLines(r.out, "^[ *]+[0-9]+ +(Thread|LWP|process)").size();
}

std::string
TheImage(const std::string &dir)
{
   std::string safeDir = SafeDir(dir);
   std::vector<std::string> images = ImageFiles(safeDir);
   return images.size() == 1 ? safeDir + "/" + images[0] : "";
}

}  // namespace

TEST_F(PanicDeathTest, ImageHoldsEveryThreadWithItsRegisters)
{
   EXPECT_EXIT(
      {
         StartChild();
         StartWaitingThreads();
         Panic("many threads\n");
      },
      testing::ExitedWithCode(255), "many threads");
   std::string image = TheImage(dir);
   ASSERT_NE(image, "");
   int others = OTHER_THREADS + RUNTIME_THREADS;
   EXPECT_NE(ReadLog().find("CoreDump: " + std::to_string(others) +
                            " other threads with their registers\n"),
             std::string::npos)
      << ReadLog();
   EXPECT_EQ(ThreadsInImage(image), 1 + others);
}

// Where tracing is refused, the image is written as before, with the
// panicking thread alone, and the log says why.
TEST_F(PanicDeathTest, RefusedTracingLeavesThePanickingThreadAlone)
{
   EXPECT_EXIT(
      {
         StartChild();
         StartWaitingThreads();
         PlatFault_Inject(PLAT_PTRACE, EPERM, 0, -1);
         Panic("no tracing\n");
      },
      testing::ExitedWithCode(255), "no tracing");
   std::string image = TheImage(dir);
   ASSERT_NE(image, "");
   EXPECT_NE(ReadLog().find("CoreDump: Registers of " +
                            std::to_string(OTHER_THREADS + RUNTIME_THREADS) +
                            " other threads unavailable (Operation not permitted), 0 written\n"),
             std::string::npos)
      << ReadLog();
   EXPECT_EQ(ThreadsInImage(image), 1);
}

TEST_F(PanicDeathTest, PanicWritesElfCoreWithRegistersAndStack)
{
   EXPECT_EXIT(
      {
         StartChild();
         Panic("core wanted\n");
      },
      testing::ExitedWithCode(255), "core wanted");
   std::string safeDir = SafeDir(dir);
   std::vector<std::string> images = ImageFiles(safeDir);
   ASSERT_EQ(images.size(), 1u);
   EXPECT_EQ(MatchingLines(images[0], "^core_dump_tests-[0-9]+\\.dmp$").size(), 1u) << images[0];
   std::string path = safeDir + "/" + images[0];
   std::string log = ReadLog();
   EXPECT_NE(log.find("CoreDump_CoreDump: faking exception to get context\n"), std::string::npos);
   EXPECT_NE(log.find("CoreDump: Writing minidump to " + path + "\n"), std::string::npos) << log;
   EXPECT_EQ(log.find("Minidump failed"), std::string::npos) << log;
   struct stat st;
   ASSERT_EQ(stat(path.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0600u);

   CoreFile core(path);
   ASSERT_GE(core.bytes.size(), sizeof(Elf64_Ehdr));
   const Elf64_Ehdr *eh = core.Header();
   ASSERT_EQ(std::memcmp(eh->e_ident, ELFMAG, SELFMAG), 0);
   EXPECT_EQ(eh->e_ident[EI_CLASS], ELFCLASS64);
   EXPECT_EQ(eh->e_type, ET_CORE);
   EXPECT_EQ(eh->e_machine, EM_X86_64);
   ASSERT_GE(eh->e_phnum, 2);
   ASSERT_LE(eh->e_phoff + eh->e_phnum * sizeof(Elf64_Phdr), core.bytes.size());

   // Notes: the registers, the process, the auxiliary vector.
   const Elf64_Phdr *note = core.Phdr(0);
   ASSERT_EQ(note->p_type, PT_NOTE);
   ASSERT_LE(note->p_offset + note->p_filesz, core.bytes.size());
   std::vector<uint32_t> types;
   uint64_t rsp = 0;
   for (size_t at = note->p_offset; at + sizeof(Elf64_Nhdr) <= note->p_offset + note->p_filesz;) {
      const Elf64_Nhdr *nh = reinterpret_cast<const Elf64_Nhdr *>(core.bytes.data() + at);
      size_t desc = at + sizeof *nh + ((nh->n_namesz + 3) & ~3u);
      EXPECT_STREQ(core.bytes.data() + at + sizeof *nh, "CORE");
      types.push_back(nh->n_type);
      if (nh->n_type == NT_PRSTATUS && rsp == 0) {  // the panicking thread's
         ASSERT_EQ(nh->n_descsz, sizeof(elf_prstatus));
         elf_prstatus status;  // notes are only 4-byte aligned
         std::memcpy(&status, core.bytes.data() + desc, sizeof status);
         user_regs_struct regs;
         std::memcpy(&regs, &status.pr_reg, sizeof regs);
         rsp = regs.rsp;
      }
      at = desc + ((nh->n_descsz + 3) & ~3u);
   }
   EXPECT_EQ(types.front(), (uint32_t)NT_PRSTATUS);
   EXPECT_NE(std::find(types.begin(), types.end(), (uint32_t)NT_PRPSINFO), types.end());
   EXPECT_NE(std::find(types.begin(), types.end(), (uint32_t)NT_AUXV), types.end());
   EXPECT_NE(std::find(types.begin(), types.end(), (uint32_t)NT_FILE), types.end());

   // The stack the registers point into is in the image, with data.
   bool stackFound = false;
   for (int i = 1; i < eh->e_phnum; i++) {
      const Elf64_Phdr *ph = core.Phdr(i);
      EXPECT_EQ(ph->p_type, PT_LOAD);
      EXPECT_LE(ph->p_offset + ph->p_filesz, core.size);
      if (rsp >= ph->p_vaddr && rsp + 64 <= ph->p_vaddr + ph->p_memsz) {
         stackFound = true;
         std::string top = core.Read(ph->p_offset + (rsp - ph->p_vaddr), 64);
         EXPECT_NE(top, std::string(64, '\0'));
      }
   }
   EXPECT_TRUE(stackFound) << std::hex << rsp;
}

TEST_F(PanicDeathTest, ExistingImageNamesAreSkipped)
{
   EXPECT_EXIT(
      {
         StartChild();
         TakeNames(3);
         Panic("names taken\n");
      },
      testing::ExitedWithCode(255), "names taken");
   std::string log = ReadLog();
   EXPECT_EQ(MatchingLines(log, "Writing minidump to [^ ]+/core_dump_tests-[0-9]+-2\\.dmp$").size(), 1u)
      << log;
   EXPECT_EQ(log.find("Cannot open minidump file"), std::string::npos);
   EXPECT_EQ(ImageFiles(SafeDir(dir)).size(), 4u);
}

// Files made after the names were chosen: every candidate fails, the
// image is given up and the panic goes on.
TEST_F(PanicDeathTest, NoCandidateLeftGivesUpTheImage)
{
   EXPECT_EXIT(
      {
         StartChild();
         CoreDump_Prepare();
         TakeNames(5);
         Panic("no room\n");
      },
      testing::ExitedWithCode(255), "no room");
   std::string log = ReadLog();
   EXPECT_EQ(MatchingLines(log, "CoreDump: Cannot open minidump file [^ ]+/core_dump_tests-[0-9]+"
                                "(-[0-3])?\\.dmp: File exists$")
                .size(),
             5u)
      << log;
   EXPECT_NE(log.find("CoreDump: No available minidump filename, quitting...\n"), std::string::npos);
   EXPECT_EQ(log.find("Writing minidump"), std::string::npos);
   std::string last = LastLine(log);
   EXPECT_EQ(last.substr(last.size() - 7), "Exiting") << last;
}
