// salvor-send against the real collector, when it has been built.
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/collectorProcess.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tools/salvorSocket.h"

namespace fs = std::filesystem;

namespace {

// The exit code of salvor-send run with args, its output discarded.
int
RunQuiet(const std::vector<std::string> &args)
{
   testutil::RunOptions options;
   options.out = testutil::Redirect{testutil::Redirect::Null};
   options.err = testutil::Redirect{testutil::Redirect::Inherit};
   return testutil::Run(args, options).exit.Code();
}

std::string
AsString(const std::vector<uint8_t> &bytes)
{
   return std::string(bytes.begin(), bytes.end());
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
   testutil::CollectorProcess collector(SALVOR_COLLECTOR_PATH);
   std::string error;
   ASSERT_TRUE(collector.WaitReady(&error)) << error;
   std::string server = SalvorFormatAddress(collector.Address());

   EXPECT_EQ(RunQuiet({SALVOR_SEND_PATH, "--status", "--server", server}), 0);

   std::vector<uint8_t> one = testutil::RandomBytes(300 * 1000 + 3, 11);
   std::vector<uint8_t> other = testutil::RandomBytes(40 * 1552, 12);
   testutil::TempFile fileOne(one), fileOther(other), empty({});
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
   EXPECT_TRUE(testutil::ReadFile(ones[0]) == AsString(one));
   EXPECT_TRUE(testutil::ReadFile(others[0]) == AsString(other));
   EXPECT_EQ(fs::file_size(empties[0]), 0u);
#endif
}

}  // namespace
