// Lines per second of short log messages, written to a file with one
// write call per line, from one thread and from two, side by side with a
// well-known C++ logging library set to flush after every line.
//
// Both loggers print the same kind of prefix (local time with
// milliseconds and zone offset, a thread field and a level) and run
// alternately in the same process, best of several rounds, so that the
// ratio does not depend on how fast this machine is today.
//
// Usage: bench-log [lines per round, default 200000] [rounds, default 3]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "lib/coreDump/fatalPath.h"
#include "lib/log/log.h"
#include "lib/misc/vthreadBase.h"
#include "tests/support/testFiles.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs body(thread, count) on `threads` threads, `lines` lines in all;
// returns lines per second.
template <typename Body>
double
Rate(int threads, long lines, Body body)
{
   auto start = Clock::now();
   std::vector<std::thread> pool;
   for (int t = 0; t < threads; t++) {
      pool.emplace_back([&, t] { body(t, lines / threads); });
   }
   for (auto &th : pool) {
      th.join();
   }
   double secs = std::chrono::duration<double>(Clock::now() - start).count();
   return (double)lines / secs;
}

double
OurRate(const std::string &path, int threads, long lines)
{
   unlink(path.c_str());
   LogParams params;
   Log_ParamsDefaults(&params);
   params.fileName = path.c_str();
   params.throttleBytesPerSec = LOG_NO_BPS_LIMIT;  // the other logger has no throttle
   if (!Log_Init(&params)) {
      std::fprintf(stderr, "cannot start the log on %s\n", path.c_str());
      std::exit(1);
   }
   Log("warm-up\n");
   double rate = Rate(threads, lines, [](int t, long n) {
      char name[16];
      std::snprintf(name, sizeof name, "bench-%d", t);
      VThread_SetName(name);
      for (long i = 0; i < n; i++) {
         Log("short message number %ld from the benchmark\n", i);
      }
   });
   Log_Exit();
   return rate;
}

double
SpdlogRate(const std::string &path, int threads, long lines)
{
   unlink(path.c_str());
   auto logger = spdlog::basic_logger_mt("bench", path, true);
   logger->set_pattern("%Y-%m-%dT%H:%M:%S.%e%z| %t| I120: %v");
   logger->flush_on(spdlog::level::trace);  // one write per line
   logger->info("warm-up");
   double rate = Rate(threads, lines, [&](int, long n) {
      for (long i = 0; i < n; i++) {
         logger->info("short message number {} from the benchmark", i);
      }
   });
   spdlog::drop("bench");
   return rate;
}

long
FileLines(const std::string &path)
{
   FILE *f = std::fopen(path.c_str(), "r");
   if (f == nullptr) {
      return 0;
   }
   long n = 0;
   char buf[65536];
   for (size_t got; (got = std::fread(buf, 1, sizeof buf, f)) > 0;) {
      for (size_t i = 0; i < got; i++) {
         n += buf[i] == '\n';
      }
   }
   std::fclose(f);
   return n;
}

}  // namespace

int
main(int argc, char **argv)
{
   // First of all, so that a panic leaves its evidence from the start.
   CoreDump_InstallPanicHandler();
   long lines = argc > 1 ? std::atol(argv[1]) : 200000;
   int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
   testutil::TempDir tmp;
   const std::string &dir = tmp.Path();
   std::string ours = dir + "/salvor.log";
   std::string theirs = dir + "/spdlog.log";

   std::printf("%ld short lines per round, best of %d rounds, alternating\n", lines, rounds);
   std::printf("%-8s %16s %16s %8s\n", "threads", "salvor lines/s", "spdlog lines/s", "ratio");
   int status = 0;
   for (int threads : {1, 2}) {
      double bestOurs = 0;
      double bestTheirs = 0;
      for (int r = 0; r < rounds; r++) {
         bestOurs = std::max(bestOurs, OurRate(ours, threads, lines));
         bestTheirs = std::max(bestTheirs, SpdlogRate(theirs, threads, lines));
      }
      double ratio = bestOurs / bestTheirs;
      std::printf("%-8d %16.0f %16.0f %8.2f\n", threads, bestOurs, bestTheirs, ratio);
      if (FileLines(ours) < lines || FileLines(theirs) < lines) {
         std::printf("  lines missing from a log file\n");
         status = 1;
      }
   }
   return status;
}
