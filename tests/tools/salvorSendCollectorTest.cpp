// salvor-send against the real collector, when it has been built.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "bench/benchPeers.h"
#include "tests/tools/testFiles.h"
#include "tools/salvorSocket.h"

namespace fs = std::filesystem;

namespace {

int
RunQuiet(std::vector<std::string> args)
{
   std::vector<char *> argv;
   for (std::string &a : args) {
      argv.push_back(a.data());
   }
   argv.push_back(nullptr);
   pid_t pid = fork();
   if (pid == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      execv(argv[0], argv.data());
      _exit(127);
   }
   int status = 0;
   waitpid(pid, &status, 0);
   return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t>
ReadAll(const fs::path &p)
{
   std::ifstream in(p, std::ios::binary);
   return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The dump files the collector wrote for one host, e.g. {127, 0, 0, 3}.
std::vector<fs::path>
DumpsOf(const fs::path &dataDir, const std::string &a, const std::string &b,
        const std::string &c, const std::string &d)
{
   std::vector<fs::path> out;
   std::error_code ec;
   for (const auto &e : fs::directory_iterator(dataDir / a / b / c / d, ec)) {
      out.push_back(e.path());
   }
   return out;
}

TEST(SalvorSendWithCollector, DumpsFromSeveralHostsLandByteExact)
{
#ifndef SALVOR_COLLECTOR_PATH
   GTEST_SKIP() << "the collector is not part of this build";
#else
   fs::path dir = fs::path(testing::TempDir()) / ("salvorsend-collector-" + std::to_string(getpid()));
   fs::remove_all(dir);
   {
      CollectorProcess collector(SALVOR_COLLECTOR_PATH, dir);
      std::string error;
      ASSERT_TRUE(collector.WaitReady(&error)) << error;
      std::string server = SalvorFormatAddress(collector.Address());

      EXPECT_EQ(RunQuiet({SALVOR_SEND_PATH, "--status", "--server", server}), 0);

      std::vector<uint8_t> one = RandomBytes(300 * 1000 + 3, 11);
      std::vector<uint8_t> other = RandomBytes(40 * 1552, 12);
      TempFile fileOne(one), fileOther(other), empty({});
      EXPECT_EQ(RunQuiet({SALVOR_SEND_PATH, "--server", server, fileOne.Path()}), 0);
      EXPECT_EQ(RunQuiet({SALVOR_SEND_PATH, "--server", server, "--from", "127.0.0.3",
                          "--window", "4", fileOther.Path()}), 0);
      EXPECT_EQ(RunQuiet({SALVOR_SEND_PATH, "--server", server, "--from", "127.0.0.4",
                          empty.Path()}), 0);

      std::vector<fs::path> ones = DumpsOf(collector.DataDir(), "127", "0", "0", "1");
      std::vector<fs::path> others = DumpsOf(collector.DataDir(), "127", "0", "0", "3");
      std::vector<fs::path> empties = DumpsOf(collector.DataDir(), "127", "0", "0", "4");
      ASSERT_EQ(ones.size(), 1u);
      ASSERT_EQ(others.size(), 1u);
      ASSERT_EQ(empties.size(), 1u);
      EXPECT_EQ(ones[0].filename().string().rfind("zdump_127.0.0.1-", 0), 0u) << ones[0];
      EXPECT_TRUE(ReadAll(ones[0]) == one);
      EXPECT_TRUE(ReadAll(others[0]) == other);
      EXPECT_EQ(fs::file_size(empties[0]), 0u);
   }
   fs::remove_all(dir);
#endif
}

}  // namespace
