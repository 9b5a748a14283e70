// Many hosts crash at once: hundreds of salvor-send processes, each from
// its own loopback address, send their dumps together through the
// client's loss-and-reorder shim. Every dump must arrive whole, and the
// collector must end up with the memory and descriptors it started with.
//
// SALVOR_SOAK_HOSTS and SALVOR_SOAK_KIB change the number of hosts and the
// size of each dump (scripts/soak.sh runs 1,024 hosts).
#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/collectorProcess.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/support/testPlatform.h"

using testutil::CollectorProcess;
using testutil::Process;

namespace {

unsigned
EnvNumber(const char *name, unsigned fallback)
{
   const char *text = std::getenv(name);
   return text != nullptr && std::atoi(text) > 0 ? (unsigned)std::atoi(text) : fallback;
}

long
StatusField(pid_t pid, const std::string &field)
{
   std::ifstream in("/proc/" + std::to_string(pid) + "/status");
   std::string line;
   while (std::getline(in, line)) {
      if (line.starts_with(field + ":")) {
         return std::stol(line.substr(field.size() + 1));
      }
   }
   return -1;
}

int
OpenDescriptors(pid_t pid)
{
   DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
   if (dir == nullptr) {
      return -1;
   }
   int n = 0;
   while (dirent *e = readdir(dir)) {
      n += e->d_name[0] != '.';
   }
   closedir(dir);
   return n;
}

// Host i plays 127.0.(10 + i / 250).(1 + i % 250).
std::string
HostAddress(unsigned i)
{
   return "127.0." + std::to_string(10 + i / 250) + "." + std::to_string(1 + i % 250);
}

std::string
HostDir(const std::string &dataDir, unsigned i)
{
   return dataDir + "/127/0/" + std::to_string(10 + i / 250) + "/" + std::to_string(1 + i % 250);
}

struct Sender {
   std::unique_ptr<Process> process;
   std::string out;
};

std::unique_ptr<Process>
StartSend(const CollectorProcess &salvor, const std::string &from, const std::string &file,
          const std::string &out)
{
   testutil::SpawnOptions options;
   options.out = testutil::Redirect::ToFile(out);
   options.err = testutil::Redirect(testutil::Redirect::ToStdout);
   return std::make_unique<Process>(
      std::vector<std::string>{SALVOR_SEND_PATH, "--server",
                               "127.0.0.1:" + std::to_string(salvor.Port()), "--from", from,
                               "--test-loss", "5", "--retries", "40", "--quiet", file},
      options);
}

TEST(Soak, HostsSendingAtOnceThroughALossyNetworkAllArriveWhole)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "the collector's memory and descriptors are read from /proc, and Wine "
                      "sends every datagram from 127.0.0.1, which makes all the hosts one";
   }
   const unsigned hosts = EnvNumber("SALVOR_SOAK_HOSTS", 200);
   const size_t size = (size_t)EnvNumber("SALVOR_SOAK_KIB", 192) * 1024 + 777;
   testutil::TempDir files;
   CollectorProcess salvor(SALVOR_BINARY);
   ASSERT_TRUE(salvor.WaitReady()) << salvor.Console();
   pid_t pid = salvor.Pid();

   // One dump first, so that what the collector sets up on first use
   // (the log's buffers) is part of the baseline.
   std::string warmFile = files / "warm";
   {
      std::vector<uint8_t> bytes = testutil::RandomBytes(100000, 99);
      std::ofstream(warmFile, std::ios::binary)
         .write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
   }
   auto warm = StartSend(salvor, "127.0.9.1", warmFile, files / "warm.out");
   ASSERT_EQ(warm->Wait().Code(), 0) << testutil::ReadFile(files / "warm.out");
   long rssBefore = StatusField(pid, "VmRSS");
   int fdsBefore = OpenDescriptors(pid);

   std::vector<std::string> contents(hosts);
   for (unsigned i = 0; i < hosts; i++) {
      std::vector<uint8_t> bytes = testutil::RandomBytes(size, i + 1);
      contents[i].assign(bytes.begin(), bytes.end());
      std::ofstream(files / std::to_string(i), std::ios::binary) << contents[i];
   }
   auto start = std::chrono::steady_clock::now();
   std::vector<Sender> senders(hosts);
   for (unsigned i = 0; i < hosts; i++) {
      senders[i].out = files / (std::to_string(i) + ".out");
      senders[i].process = StartSend(salvor, HostAddress(i), files / std::to_string(i),
                                     senders[i].out);
   }
   unsigned failed = 0;
   for (unsigned i = 0; i < hosts; i++) {
      auto exit = senders[i].process->WaitFor(std::chrono::seconds(100));
      if (!exit || exit->Code() != 0) {
         if (++failed <= 5) {
            ADD_FAILURE() << "host " << HostAddress(i) << ": "
                          << testutil::ReadFile(senders[i].out);
         }
      }
   }
   double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
   EXPECT_EQ(failed, 0u) << "of " << hosts << " hosts";

   unsigned whole = 0;
   for (unsigned i = 0; i < hosts; i++) {
      auto names = testutil::ListFiles(HostDir(salvor.DataDir(), i));
      if (names.size() == 1 &&
          testutil::ReadFile(HostDir(salvor.DataDir(), i) + "/" + names[0]) == contents[i]) {
         whole++;
      }
   }
   EXPECT_EQ(whole, hosts) << "dumps that arrived byte-exact";
   std::printf("%u hosts x %zu bytes through 5%% loss and 5%% reordering each way: %.1f s, "
               "%.1f MB/s in all\n", hosts, size, seconds,
               (double)hosts * (double)size / 1e6 / seconds);

   EXPECT_EQ(OpenDescriptors(pid), fdsBefore) << "descriptors left open";
   long rssAfter = StatusField(pid, "VmRSS");
   std::printf("collector resident memory: %ld KiB before, %ld KiB after\n", rssBefore,
               rssAfter);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
   // Under the sanitizers freed memory is held in quarantine on purpose.
   EXPECT_LE(rssAfter, rssBefore + 1024) << "KiB of resident memory kept after the dumps";
#endif
   EXPECT_NE(salvor.Log().find("The socket's receive buffer is"), std::string::npos);
}

}  // namespace
