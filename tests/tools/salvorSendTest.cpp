// The salvor-send program, run as a process against a fake collector.
#include <gtest/gtest.h>

#include "protocol/salvorKeys.h"
#include "protocol/salvorProto.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/support/testPlatform.h"
#include "tests/tools/fakeCollector.h"
#include "tests/tools/toolsTestPlatform.h"

namespace {

using testutil::RandomBytes;
using testutil::RunResult;
using testutil::TempFile;

// Lines as the program meant them: Windows' text mode ends them with "\r\n".
std::string
Unix(std::string text)
{
   for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) {
      text.erase(at, 1);
   }
   return text;
}

RunResult
Unix(RunResult r)
{
   r.out = Unix(r.out);
   r.err = Unix(r.err);
   return r;
}

RunResult
RunSend(std::vector<std::string> args)
{
   args.insert(args.begin(), SALVOR_SEND_PATH);
   return Unix(testutil::Run(args));
}

TEST(SalvorSend, SendsAFileByteExact)
{
   FakeCollector fake({.dropEvery = 7});
   std::vector<uint8_t> content = RandomBytes(200 * 1000, 7);
   TempFile file(content);
   RunResult r = RunSend({"--server", fake.Server(), "--timeout", "20", "--timestamp", "99",
                          file.Path()});
   ASSERT_EQ(r.exit.Code(), 0) << r.err;
   EXPECT_EQ(r.err, "");  // no progress bar when stderr is not a terminal
   EXPECT_NE(r.out.find("200000 bytes"), std::string::npos) << r.out;

   std::vector<FakeCollector::Dump> dumps = fake.Dumps();
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_EQ(dumps[0].host, NET_LOOPBACK);
   EXPECT_EQ(dumps[0].timestamp, 99);
   EXPECT_TRUE(dumps[0].done);
   EXPECT_TRUE(dumps[0].data == content);
}

TEST(SalvorSend, SendsFromTheGivenSourceAddress)
{
   if (TestUnderWine()) {
      GTEST_SKIP() << "Wine sends every datagram from 127.0.0.1 whatever address the socket "
                      "is bound to; real Windows keeps the address";
   }
   FakeCollector fake;
   std::vector<uint8_t> content = RandomBytes(5000, 8);
   TempFile file(content);
   RunResult r = RunSend({"--server", fake.Server(), "--from", "127.0.0.2", file.Path()});
   ASSERT_EQ(r.exit.Code(), 0) << r.err;
   std::vector<FakeCollector::Dump> dumps = fake.Dumps();
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_EQ(dumps[0].host, 0x7F000002u);
   EXPECT_TRUE(dumps[0].data == content);
}

TEST(SalvorSend, FailuresExitNonZeroWithAReason)
{
   TempFile file(RandomBytes(5000));
   {
      FakeCollector fake({.initStatus = hxk_limit_exceeded});
      RunResult r =
         RunSend({"--server", fake.Server(), "--quiet", "--wait", "0", file.Path()});
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
      ASSERT_TRUE(toolstest::MakeSparseFile(big, (uint64_t{4} << 30) + 1));
      FakeCollector fake;
      RunResult r = RunSend({"--server", fake.Server(), big});
      EXPECT_EQ(r.exit.Code(), 1);
      EXPECT_NE(r.err.find("cannot exceed 4 GiB"), std::string::npos) << r.err;
      EXPECT_EQ(fake.Seen().init, 0u);
   }
   for (auto args : std::vector<std::vector<std::string>>{
           {}, {"--window", "0", "f"}, {"--bogus", "f"}, {"a", "b"}, {"--status", "f"},
           {"--status", "--flat"}, {"-", "f"}, {"--wait", "-1", "f"}, {"--wait", "x", "f"},
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
   testutil::SocketsStarted sockets;
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
   if (TestUnderWine()) {
      GTEST_SKIP() << "Wine reports no refusal (ICMP port unreachable) of a UDP datagram; "
                      "real Windows does, as WSAECONNRESET";
   }
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

TEST(SalvorSend, MakeKeyPrintsAKeyLineThatLoads)
{
   RunResult first = RunSend({"--make-key", "web-01.example.org"});
   RunResult second = RunSend({"--make-key=db"});
   ASSERT_EQ(first.exit.Code(), 0) << first.err;
   ASSERT_EQ(second.exit.Code(), 0) << second.err;
   EXPECT_EQ(first.err, "");
   ASSERT_EQ(first.out.size(), std::string("web-01.example.org ").size() + 44 + 1) << first.out;
   EXPECT_EQ(first.out.rfind("web-01.example.org ", 0), 0u) << first.out;
   // Both lines make one keys file: two names, two different keys.
   std::string text = first.out + second.out;
   SalvorKeys keys;
   std::string why;
   ASSERT_TRUE(SalvorKeys_Parse(text.data(), text.size(), &keys, &why)) << why;
   EXPECT_EQ(keys.count, 2u);
   SalvorKeys_Free(&keys);
}

TEST(SalvorSend, MakeKeyRefusesANameAKeysFileCannotHold)
{
   for (const char *name : {"", "two words", "tab\there", "a#b"}) {
      RunResult r = RunSend({"--make-key", name});
      EXPECT_NE(r.exit.Code(), 0) << name;
      EXPECT_EQ(r.out, "") << name;
      EXPECT_EQ(r.err.rfind("salvor-send: cannot name a key so: ", 0), 0u) << r.err;
   }
   RunResult r = RunSend({"--make-key", "a", "file"});
   EXPECT_NE(r.exit.Code(), 0);
   EXPECT_NE(r.err.find("--make-key takes no other option"), std::string::npos) << r.err;
}

TEST(SalvorSend, StandardInputIsSentAsOneDump)
{
   FakeCollector fake;
   std::vector<uint8_t> content = RandomBytes(100 * 1000 + 1, 4);
   RunResult r = Unix(toolstest::RunFed({SALVOR_SEND_PATH, "--server", fake.Server(), "-"},
                                        std::string(content.begin(), content.end())));
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
