// salvor-send against the real collector, when it has been built.
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/collectorProcess.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/support/testPlatform.h"
#include "tests/tools/flatStream.h"
#include "tests/tools/toolsTestPlatform.h"
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
   if (TestUnderWine()) {
      GTEST_SKIP() << "Wine sends every datagram from 127.0.0.1 whatever address the socket "
                      "is bound to, so the hosts cannot be told apart; real Windows keeps them apart";
   }
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
   EXPECT_TRUE(testutil::ReadFile(ones[0].string()) == AsString(one));
   EXPECT_TRUE(testutil::ReadFile(others[0].string()) == AsString(other));
   EXPECT_EQ(fs::file_size(empties[0]), 0u);
#endif
}

// The one dump file the collector wrote for a host, or "" when there is not one.
std::string
OnlyDumpOf(const fs::path &dataDir, const std::string &lastByte)
{
   std::vector<fs::path> dumps = DumpsOf(dataDir, "127", "0", "0", lastByte);
   return dumps.size() == 1 ? testutil::ReadFile(dumps[0].string()) : "";
}

// Whether makedumpfile, which rebuilds flattened streams, is installed
// (scripts/deps.sh test installs it; there is none for Windows).
bool
HaveMakedumpfile()
{
   return !TEST_ON_WINDOWS &&
          testutil::Run({"/bin/sh", "-c", "command -v makedumpfile"}).exit.Code() == 0;
}

TEST(SalvorSendWithCollector, FlatStreamsLandAsMakedumpfileRebuildsThem)
{
#ifndef SALVOR_COLLECTOR_PATH
   GTEST_SKIP() << "the collector is not part of this build";
#else
   testutil::CollectorProcess collector(SALVOR_COLLECTOR_PATH);
   std::string error;
   ASSERT_TRUE(collector.WaitReady(&error)) << error;
   std::string server = SalvorFormatAddress(collector.Address());
   testutil::TempDir dir;
   bool reference = HaveMakedumpfile();

   // Records out of order, overlapping, spanning many messages,
   // and leaving holes, as a flattening dump tool writes them.
   std::vector<std::vector<FlatRecord>> streams = {
      {{0, testutil::RandomBytes(4096, 1)}, {4096, testutil::RandomBytes(300000, 2)}},
      {{200000, testutil::RandomBytes(65536, 3)}, {0, testutil::RandomBytes(8192, 4)},
       {150000, testutil::RandomBytes(60000, 5)},
       {100, testutil::RandomBytes(1552 * 3 + 1, 6)}, {120, testutil::RandomBytes(7, 7)}},
   };
   for (size_t i = 0; i < streams.size(); i++) {
      SCOPED_TRACE("stream " + std::to_string(i));
      std::string stream = FlatStream(streams[i]);
      // From a pipe, as the dump tool's output would come.
      testutil::RunResult r =
         toolstest::RunFed({SALVOR_SEND_PATH, "--flat", "--quiet", "--server", server, "-"}, stream);
      ASSERT_EQ(r.exit.Code(), 0) << r.err;
      std::vector<fs::path> dumps = DumpsOf(collector.DataDir(), "127", "0", "0", "1");
      ASSERT_EQ(dumps.size(), 1u);
      std::string stored = testutil::ReadFile(dumps[0].string());
      EXPECT_TRUE(stored == FlatRebuilt(streams[i]));
      if (reference) {
         // makedumpfile writes no file that exists already.
         std::string streamFile = dir / ("stream" + std::to_string(i));
         std::string rebuilt = dir / ("rebuilt" + std::to_string(i));
         testutil::WriteFile(streamFile, stream);
         r = testutil::Run(
            {"/bin/sh", "-c", "makedumpfile -R \"$1\" < \"$2\"", "sh", rebuilt, streamFile});
         ASSERT_EQ(r.exit.Code(), 0) << r.out << r.err;
         EXPECT_TRUE(stored == testutil::ReadFile(rebuilt));
      }
      // The next stream's dump is then the only one. A finished dump is
      // read-only on Windows, where that also keeps it from being deleted.
      fs::permissions(dumps[0], fs::perms::owner_write, fs::perm_options::add);
      fs::remove(dumps[0]);
   }
   // Each is whole, as rebuilt; the second leaves pages out, which its
   // sender declares, so the journal lists them as holes of a whole dump.
   std::string journal = testutil::ReadFile(collector.Dir() + "/log/dumps.jsonl");
   size_t second = journal.find('\n') + 1;
   ASSERT_NE(second, 0u) << journal;
   EXPECT_NE(journal.find("\"holes\":[],\"holeBytes\":0,\"sparse\":true,\"outcome\":"
                          "\"complete\""),
             std::string::npos) << journal;
   EXPECT_NE(journal.find("\"holes\":[[8192,141808]],\"holeBytes\":141808,\"sparse\":true,"
                          "\"outcome\":\"complete\"", second),
             std::string::npos) << journal;
#endif
}

TEST(SalvorSendWithCollector, PipedDumpLandsByteExact)
{
#ifndef SALVOR_COLLECTOR_PATH
   GTEST_SKIP() << "the collector is not part of this build";
#else
   testutil::CollectorProcess collector(SALVOR_COLLECTOR_PATH);
   std::string error;
   ASSERT_TRUE(collector.WaitReady(&error)) << error;
   std::vector<uint8_t> content = testutil::RandomBytes(1000 * 1000 + 7, 21);
   testutil::RunResult r = toolstest::RunFed(
      {SALVOR_SEND_PATH, "--server", SalvorFormatAddress(collector.Address()), "-"},
      AsString(content));
   ASSERT_EQ(r.exit.Code(), 0) << r.err;
   EXPECT_TRUE(OnlyDumpOf(collector.DataDir(), "1") == AsString(content));
   // Only a flattened dump is declared sparse.
   std::string journal = testutil::ReadFile(collector.Dir() + "/log/dumps.jsonl");
   EXPECT_NE(journal.find("\"holes\":[],\"holeBytes\":0,\"outcome\":\"complete\""),
             std::string::npos) << journal;
#endif
}

}  // namespace
