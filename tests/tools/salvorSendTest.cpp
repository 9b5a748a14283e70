// The salvor-send program, run as a process against a fake collector.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "protocol/salvorProto.h"
#include "tests/tools/fakeCollector.h"
#include "tests/tools/testFiles.h"

namespace {

struct ProcessResult {
   int exitCode = -1;
   std::string out, err;
};

std::string
Slurp(const std::string &path)
{
   std::ifstream in(path);
   std::stringstream ss;
   ss << in.rdbuf();
   return ss.str();
}

ProcessResult
RunSend(std::vector<std::string> args)
{
   std::string outPath = testing::TempDir() + "salvorsend-out-" + std::to_string(getpid());
   std::string errPath = outPath + ".err";
   std::vector<char *> argv;
   args.insert(args.begin(), SALVOR_SEND_PATH);
   for (std::string &a : args) {
      argv.push_back(a.data());
   }
   argv.push_back(nullptr);

   pid_t pid = fork();
   if (pid == 0) {
      int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(err, 2);
      execv(argv[0], argv.data());
      _exit(127);
   }
   int status = 0;
   waitpid(pid, &status, 0);
   ProcessResult r;
   r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
   r.out = Slurp(outPath);
   r.err = Slurp(errPath);
   unlink(outPath.c_str());
   unlink(errPath.c_str());
   return r;
}

TEST(SalvorSend, SendsFromTheGivenSourceAddress)
{
   FakeCollector fake({.dropEvery = 7});
   std::vector<uint8_t> content = RandomBytes(200 * 1000, 7);
   TempFile file(content);
   ProcessResult r = RunSend({"--server", fake.Server(), "--from", "127.0.0.2", "--timeout", "20",
                    "--timestamp", "99", file.Path()});
   ASSERT_EQ(r.exitCode, 0) << r.err;
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
      ProcessResult r = RunSend({"--server", fake.Server(), "--quiet", file.Path()});
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(r.err, "salvor-send: collector refused the init: hxk_limit_exceeded\n");
      EXPECT_EQ(r.out, "");
   }
   {
      FakeCollector fake({.silent = true});
      ProcessResult r = RunSend({"--server", fake.Server(), "--timeout", "10", "--retries", "2",
                       file.Path()});
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(r.err, "salvor-send: no answer from the collector at " + fake.Server() +
                          " to the init after 3 attempts\n");
   }
   {
      ProcessResult r = RunSend({"--server", "127.0.0.1:1", testing::TempDir() + "no-such-file"});
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
   }
   {
      // Sparse, so it costs no disk space.
      std::string big = testing::TempDir() + "salvorsend-big";
      int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ASSERT_EQ(ftruncate(fd, (off_t)((uint64_t{4} << 30) + 1)), 0);
      close(fd);
      FakeCollector fake;
      ProcessResult r = RunSend({"--server", fake.Server(), big});
      unlink(big.c_str());
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_NE(r.err.find("cannot exceed 4 GiB"), std::string::npos) << r.err;
      EXPECT_EQ(fake.Seen().init, 0u);
   }
   for (auto args : std::vector<std::vector<std::string>>{
           {}, {"--window", "0", "f"}, {"--bogus", "f"}, {"a", "b"}, {"--status", "f"},
           {"--timestamp", "0", "f"}}) {
      ProcessResult r = RunSend(args);
      EXPECT_EQ(r.exitCode, 2) << r.err;
      EXPECT_NE(r.err.find("usage:"), std::string::npos);
   }
}

TEST(SalvorSend, StatusCheck)
{
   {
      FakeCollector fake;
      ProcessResult r = RunSend({"--status", "--server", fake.Server()});
      EXPECT_EQ(r.exitCode, 0) << r.err;
      EXPECT_EQ(r.out, "collector at " + fake.Server() + " is alive\n");
      EXPECT_EQ(fake.Seen().status, 1u);
   }
   {
      FakeCollector fake({.silent = true});
      ProcessResult r = RunSend({"--status", "--server", fake.Server(), "--timeout", "10", "--retries", "1"});
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_NE(r.err.find("no answer"), std::string::npos) << r.err;
      EXPECT_EQ(fake.Seen().status, 2u);
   }
}

}  // namespace

namespace {

TEST(SalvorSend, ClosedStandardErrorDoesNotKillIt)
{
   // Its usage text goes to a pipe whose reader has gone.
   pid_t pid = fork();
   if (pid == 0) {
      int ends[2];
      if (pipe(ends) != 0) {
         _exit(126);
      }
      close(ends[0]);
      dup2(ends[1], 1);
      dup2(ends[1], 2);
      execl(SALVOR_SEND_PATH, SALVOR_SEND_PATH, "--no-such-option", (char *)nullptr);
      _exit(127);
   }
   int status = 0;
   waitpid(pid, &status, 0);
   ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
   EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
