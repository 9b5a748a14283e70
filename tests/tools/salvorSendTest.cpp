// The salvor-send program, run as a process against a fake collector.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "protocol/salvorProto.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/tools/fakeCollector.h"

namespace {

using testutil::RandomBytes;
using testutil::RunResult;
using testutil::TempFile;

RunResult
RunSend(std::vector<std::string> args)
{
   args.insert(args.begin(), SALVOR_SEND_PATH);
   return testutil::Run(args);
}

TEST(SalvorSend, SendsFromTheGivenSourceAddress)
{
   FakeCollector fake({.dropEvery = 7});
   std::vector<uint8_t> content = RandomBytes(200 * 1000, 7);
   TempFile file(content);
   RunResult r = RunSend({"--server", fake.Server(), "--from", "127.0.0.2", "--timeout", "20",
                          "--timestamp", "99", file.Path()});
   ASSERT_EQ(r.exit.Code(), 0) << r.err;
   EXPECT_EQ(r.err, "");  // no progress bar when stderr is not a terminal
   EXPECT_NE(r.out.find("200000 bytes"), std::string::npos) << r.out;

   std::vector<FakeCollector::Dump> dumps = fake.Dumps();
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_EQ(dumps[0].host, 0x7F000002u);
   EXPECT_EQ(dumps[0].timestamp, 99);
   EXPECT_TRUE(dumps[0].done);
   EXPECT_TRUE(dumps[0].data == content);
}

TEST(SalvorSend, FailuresExitNonZeroWithAReason)
{
   TempFile file(RandomBytes(5000));
   {
      FakeCollector fake({.initStatus = hxk_limit_exceeded});
      RunResult r = RunSend({"--server", fake.Server(), "--quiet", file.Path()});
      EXPECT_EQ(r.exit.Code(), 1);
      EXPECT_EQ(r.err, "salvor-send: collector refused the init: hxk_limit_exceeded\n");
      EXPECT_EQ(r.out, "");
   }
   {
      FakeCollector fake({.silent = true});
      RunResult r = RunSend({"--server", fake.Server(), "--timeout", "10", "--retries", "2",
                             file.Path()});
      EXPECT_EQ(r.exit.Code(), 1);
      EXPECT_EQ(r.err, "salvor-send: no answer from the collector at " + fake.Server() +
                          " to the init after 3 attempts\n");
   }
   {
      testutil::TempDir dir;
      RunResult r = RunSend({"--server", "127.0.0.1:1", dir / "no-such-file"});
      EXPECT_EQ(r.exit.Code(), 1);
      EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
   }
   {
      // Sparse, so it costs no disk space.
      testutil::TempDir dir;
      std::string big = dir / "big";
      int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ASSERT_EQ(ftruncate(fd, (off_t)((uint64_t{4} << 30) + 1)), 0);
      close(fd);
      FakeCollector fake;
      RunResult r = RunSend({"--server", fake.Server(), big});
      EXPECT_EQ(r.exit.Code(), 1);
      EXPECT_NE(r.err.find("cannot exceed 4 GiB"), std::string::npos) << r.err;
      EXPECT_EQ(fake.Seen().init, 0u);
   }
   for (auto args : std::vector<std::vector<std::string>>{
           {}, {"--window", "0", "f"}, {"--bogus", "f"}, {"a", "b"}, {"--status", "f"},
           {"--status", "--flat"}, {"-", "f"},
           {"--timestamp", "0", "f"}}) {
      RunResult r = RunSend(args);
      EXPECT_EQ(r.exit.Code(), 2) << r.err;
      EXPECT_NE(r.err.find("usage:"), std::string::npos);
   }
}

// A loopback port where nothing listens: bound, then let go.
uint16_t
ClosedPort()
{
   NetSocket s = Net_UdpSocket();
   NetAddr addr{};
   EXPECT_EQ(Net_Bind(s, NET_LOOPBACK, 0), 0);
   EXPECT_EQ(Net_LocalAddr(s, &addr), 0);
   Net_Close(s);
   return addr.port;
}

TEST(SalvorSend, SendsOverIPv6)
{
   FakeCollector fake({.ipv6 = true});
   std::vector<uint8_t> content = RandomBytes(30 * 1000, 3);
   TempFile file(content);
   RunResult r = RunSend({"--server", fake.Server(), "--from", "::1", "--timestamp", "5",
                          file.Path()});
   ASSERT_EQ(r.exit.Code(), 0) << r.err;
   EXPECT_NE(r.out.find(" to " + fake.Server() + " as dump 5"), std::string::npos) << r.out;
   std::vector<FakeCollector::Dump> dumps = fake.Dumps();
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_TRUE(dumps[0].done);
   EXPECT_TRUE(dumps[0].data == content);

   r = RunSend({"--status", "--server", fake.Server()});
   EXPECT_EQ(r.exit.Code(), 0) << r.err;
   EXPECT_EQ(r.out, "collector at " + fake.Server() + " is alive\n");

   // A source of the other family cannot reach it.
   r = RunSend({"--status", "--server", fake.Server(), "--from", "127.0.0.1"});
   EXPECT_EQ(r.exit.Code(), 1);
   EXPECT_NE(r.err.find("not of one address family"), std::string::npos) << r.err;
}

TEST(SalvorSend, ServerAddressForms)
{
   FakeCollector fake;
   std::string port = std::to_string(fake.Address().port);
   for (std::string server :
        std::vector<std::string>{"127.0.0.1:" + port, "localhost:" + port, "[127.0.0.1]:" + port}) {
      RunResult r = RunSend({"--status", "--server=" + server});
      EXPECT_EQ(r.exit.Code(), 0) << server << ": " << r.err;
   }
   for (std::string server :
        std::vector<std::string>{"[::1:" + port, "[::1]x", "127.0.0.1:0", ":" + port}) {
      RunResult r = RunSend({"--status", "--server", server});
      EXPECT_EQ(r.exit.Code(), 1) << server;
      EXPECT_NE(r.err.find(server), std::string::npos) << r.err;
   }
   EXPECT_EQ(fake.Seen().status, 3u);
}

TEST(SalvorSend, RefusedPortEndsAfterThreeTries)
{
   std::string server = "127.0.0.1:" + std::to_string(ClosedPort());
   TempFile file(RandomBytes(5000));
   for (std::vector<std::string> args :
        {std::vector<std::string>{"--status"}, std::vector<std::string>{file.Path()}}) {
      args.insert(args.end(), {"--server", server, "--timeout", "20"});
      RunResult r = RunSend(args);
      EXPECT_EQ(r.exit.Code(), 1);
      std::string what = args[0] == "--status" ? "status check" : "init";
      EXPECT_EQ(r.err, "salvor-send: connection refused by " + server +
                          " (nothing listens there: is the collector running?); gave up the " +
                          what + " after 3 attempts\n");
   }
}

TEST(SalvorSend, HelpAndVersion)
{
   for (std::vector<std::string> args :
        {std::vector<std::string>{"--help"}, {"-h"}, {"--server", "x", "--help", "f"}}) {
      RunResult r = RunSend(args);
      EXPECT_EQ(r.exit.Code(), 0);
      EXPECT_EQ(r.out.rfind("usage: salvor-send", 0), 0u) << r.out;
      EXPECT_NE(r.out.find("--version"), std::string::npos);
      EXPECT_EQ(r.err, "");
   }
   RunResult r = RunSend({"--version"});
   EXPECT_EQ(r.exit.Code(), 0);
   EXPECT_EQ(r.out, std::string("salvor-send ") + SALVOR_EXPECTED_VERSION + "\n");
}

TEST(SalvorSend, StandardInputIsSentAsOneDump)
{
   FakeCollector fake;
   std::vector<uint8_t> content = RandomBytes(100 * 1000 + 1, 4);
   TempFile file(content);
   RunResult r = testutil::Run({"/bin/sh", "-c",
                                "cat \"$1\" | \"$2\" --server \"$3\" -", "sh", file.Path(),
                                SALVOR_SEND_PATH, fake.Server()});
   ASSERT_EQ(r.exit.Code(), 0) << r.err;
   EXPECT_EQ(r.out.rfind("sent standard input (100001 bytes)", 0), 0u) << r.out;
   std::vector<FakeCollector::Dump> dumps = fake.Dumps();
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_TRUE(dumps[0].done);
   EXPECT_TRUE(dumps[0].data == content);
}

TEST(SalvorSend, StatusCheck)
{
   {
      FakeCollector fake;
      RunResult r = RunSend({"--status", "--server", fake.Server()});
      EXPECT_EQ(r.exit.Code(), 0) << r.err;
      EXPECT_EQ(r.out, "collector at " + fake.Server() + " is alive\n");
      EXPECT_EQ(fake.Seen().status, 1u);
   }
   {
      FakeCollector fake({.silent = true});
      RunResult r =
         RunSend({"--status", "--server", fake.Server(), "--timeout", "10", "--retries", "1"});
      EXPECT_EQ(r.exit.Code(), 1);
      EXPECT_NE(r.err.find("no answer"), std::string::npos) << r.err;
      EXPECT_EQ(fake.Seen().status, 2u);
   }
}

}  // namespace

namespace {

TEST(SalvorSend, ClosedStandardErrorDoesNotKillIt)
{
   // Its usage text goes to a pipe whose reader has gone.
   testutil::RunOptions options;
   options.out = testutil::Redirect{testutil::Redirect::BrokenPipe};
   options.err = testutil::Redirect{testutil::Redirect::ToStdout};
   RunResult r = testutil::Run({SALVOR_SEND_PATH, "--no-such-option"}, options);
   ASSERT_TRUE(r.exit.Exited()) << "ended by signal " << r.exit.Signal();
   EXPECT_EQ(r.exit.Code(), 2);
}

}  // namespace
