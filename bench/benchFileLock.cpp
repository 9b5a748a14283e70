// Cost of the advisory lock files.
//
// 1. Uncontended: acquire and release of an exclusive and of a shared lock
//    on one path, operations per second, beside flock(2) on the same path
//    in the same run (best of several rounds each, alternating), and the
//    ratio. The lock-file protocol makes a directory, an entry file, lists
//    the lock directory twice, renames and removes, where flock is one
//    system call each way.
// 2. Contended: 4 processes each take the exclusive lock, increment a
//    counter file and release, for a fixed time; throughput (locks per
//    second, all processes) and the longest single wait for the lock. The
//    waiters' pauses (100 ms steps) dominate here.
//
// Usage: bench-file-lock [uncontended ops per round, default 2000]
//                        [contended seconds, default 20]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "lib/coreDump/fatalPath.h"
#include "lib/file/fileLock.h"

namespace {

using Clock = std::chrono::steady_clock;

double
Seconds(Clock::duration d)
{
   return std::chrono::duration<double>(d).count();
}

double
LockFileRate(const std::string &path, bool readOnly, int ops)
{
   Clock::time_point start = Clock::now();
   for (int i = 0; i < ops; i++) {
      int err;
      FileLockToken *t = FileLock_Acquire(path.c_str(), readOnly, 0, &err, nullptr);
      if (t == nullptr || !FileLock_Release(t, &err, nullptr)) {
         std::fprintf(stderr, "lock failed: %d\n", err);
         std::exit(1);
      }
   }
   return ops / Seconds(Clock::now() - start);
}

double
FlockRate(const std::string &path, bool readOnly, int ops)
{
   Clock::time_point start = Clock::now();
   for (int i = 0; i < ops; i++) {
      // Open and close each time, as a lock taken with an open would.
      int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0 || flock(fd, readOnly ? LOCK_SH : LOCK_EX) != 0 || flock(fd, LOCK_UN) != 0) {
         std::perror("flock");
         std::exit(1);
      }
      close(fd);
   }
   return ops / Seconds(Clock::now() - start);
}

struct Contended {
   long locks;
   double maxWaitMs;
};

// One contending process: counts its locks and its longest wait, and
// reports them on fd.
void
Contender(const std::string &path, const std::string &counter, double seconds, int fd)
{
   Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
   Contended result = {0, 0};
   while (Clock::now() < end) {
      Clock::time_point asked = Clock::now();
      int err;
      FileLockToken *t =
         FileLock_Acquire(path.c_str(), false, FILELOCK_WAIT_FOREVER, &err, nullptr);
      if (t == nullptr) {
         _exit(1);
      }
      result.maxWaitMs =
         std::max(result.maxWaitMs, Seconds(Clock::now() - asked) * 1000.0);
      FILE *f = std::fopen(counter.c_str(), "r+");
      long value = 0;
      if (f != nullptr) {
         if (std::fscanf(f, "%ld", &value) != 1) {
            value = 0;
         }
         std::rewind(f);
         std::fprintf(f, "%ld\n", value + 1);
         std::fclose(f);
      }
      FileLock_Release(t, &err, nullptr);
      result.locks++;
   }
   if (write(fd, &result, sizeof result) != (ssize_t)sizeof result) {
      _exit(1);
   }
   _exit(0);
}

}  // namespace

int
main(int argc, char **argv)
{
   // First of all, so that a panic leaves its evidence from the start.
   CoreDump_InstallPanicHandler();
   int ops = argc > 1 ? std::atoi(argv[1]) : 2000;
   double seconds = argc > 2 ? std::atof(argv[2]) : 20;
   char templ[] = "/tmp/bench-file-lock-XXXXXX";
   if (mkdtemp(templ) == nullptr) {
      std::perror("mkdtemp");
      return 1;
   }
   std::string dir = templ;
   std::string path = dir + "/target";

   std::printf("uncontended acquire+release, %d per round, best of 5:\n", ops);
   for (bool readOnly : {false, true}) {
      double best = 0, bestFlock = 0;
      for (int round = 0; round < 5; round++) {
         best = std::max(best, LockFileRate(path, readOnly, ops));
         bestFlock = std::max(bestFlock, FlockRate(path, readOnly, ops));
      }
      std::printf("  %-9s lock files %9.0f/s   flock %9.0f/s   lock files / flock %.3f\n",
                  readOnly ? "shared" : "exclusive", best, bestFlock, best / bestFlock);
   }

   const int procs = 4;
   std::string counter = dir + "/counter";
   FILE *f = std::fopen(counter.c_str(), "w");
   std::fprintf(f, "0\n");
   std::fclose(f);
   int fds[2];
   if (pipe(fds) != 0) {
      return 1;
   }
   Clock::time_point start = Clock::now();
   for (int i = 0; i < procs; i++) {
      if (fork() == 0) {
         close(fds[0]);
         Contender(path, counter, seconds, fds[1]);
      }
   }
   close(fds[1]);
   long total = 0;
   double maxWait = 0;
   Contended r;
   while (read(fds[0], &r, sizeof r) == (ssize_t)sizeof r) {
      total += r.locks;
      maxWait = std::max(maxWait, r.maxWaitMs);
   }
   while (wait(nullptr) > 0) {
   }
   double elapsed = Seconds(Clock::now() - start);
   f = std::fopen(counter.c_str(), "r");
   long value = -1;
   if (f == nullptr || std::fscanf(f, "%ld", &value) != 1) {
      value = -1;
   }
   if (f != nullptr) {
      std::fclose(f);
   }
   std::printf("contended, %d processes, exclusive, %.0f s: %.1f locks/s, longest wait %.0f ms, "
               "counter %ld of %ld\n",
               procs, elapsed, total / elapsed, maxWait, value, total);
   std::string cleanup = "rm -rf '" + dir + "'";
   return std::system(cleanup.c_str()) == 0 && value == total ? 0 : 1;
}
