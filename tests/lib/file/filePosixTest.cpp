// What only POSIX systems have: forked children, FIFOs and devices.
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "lib/file/file.h"
#include "lib/file/fileInt.h"
#include "tests/lib/file/fileTestUtil.h"

namespace {

// The next four draws of a forked child, read back through a pipe.
std::vector<uint32_t>
ChildDraws()
{
   int fds[2];
   if (pipe(fds) != 0) {
      return {};
   }
   pid_t pid = fork();
   if (pid == 0) {
      uint32_t draws[4];
      for (uint32_t &d : draws) {
         d = FileSimpleRandom();
      }
      _exit(write(fds[1], draws, sizeof draws) == (ssize_t)sizeof draws ? 0 : 1);
   }
   close(fds[1]);
   std::vector<uint32_t> draws(4);
   ssize_t got = read(fds[0], draws.data(), 4 * sizeof(uint32_t));
   close(fds[0]);
   waitpid(pid, nullptr, 0);
   return got == (ssize_t)(4 * sizeof(uint32_t)) ? draws : std::vector<uint32_t>{};
}

TEST(FileRandom, ForkedChildrenDrawTheirOwnNumbers)
{
   FileSimpleRandom();  // the stream exists before the forks
   std::vector<uint32_t> first = ChildDraws();
   std::vector<uint32_t> second = ChildDraws();
   std::vector<uint32_t> mine;
   for (int i = 0; i < 4; i++) {
      mine.push_back(FileSimpleRandom());
   }
   ASSERT_EQ(first.size(), 4u);
   ASSERT_EQ(second.size(), 4u);
   EXPECT_NE(first, second);
   EXPECT_NE(first, mine);
   EXPECT_NE(second, mine);
}

class FilePosix : public FileTestDir {};

TEST_F(FilePosix, FifosAndDevicesAreNotRegular)
{
   WriteFile(P("file"), "x");
   std::filesystem::create_symlink(P("file"), P("link"));
   ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
   EXPECT_EQ(File_CheckRegular(P("link").c_str()), 0) << "a link to a file is that file";
   EXPECT_EQ(File_CheckRegular(P("fifo").c_str()), EINVAL);
   EXPECT_EQ(File_CheckRegular("/dev/null"), EINVAL);
}

}  // namespace
