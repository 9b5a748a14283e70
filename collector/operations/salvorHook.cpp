// The dump hook; see salvorHook.h.
#include "collector/operations/salvorHook.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "collector/platform/salvorOpsPlat.h"
#include "collector/operations/salvorDumpRecord.h"
#include "collector/operations/salvorOpsCounters.h"
#include "collector/receive/salvorClock.h"
#include "collector/receive/salvorLoopTasks.h"
#include "collector/startup/salvorOpsConfig.h"
#include "lib/file/file.h"
#include "lib/log/log.h"

namespace {

// The first line of a hook's standard error that the log shows, at most.
constexpr size_t SALVOR_HOOK_LINE_MAX = 200;
// How often running hooks are looked at while datagrams keep coming.
constexpr uint64_t SALVOR_HOOK_POLL_USEC = 20000;

struct SalvorHookJob {
   std::vector<std::string> env;
   std::string what;  // the dump, for the log
};

struct SalvorHookRun {
   SalvorPlatChild child;
   uint64_t startedUsec;
   std::string what;
   std::string firstLine;
   bool lineDone;
   bool killed;
};

std::deque<SalvorHookJob> queued;
std::vector<SalvorHookRun> running;
uint64_t lastPoll = 0;
// Processes that ended hooks left behind, being ended.
size_t leftovers = 0;
// Set when a child ended since the last poll; the poll then runs at once.
std::atomic<bool> childEnded{false};
void (*wakeLoop)() = nullptr;

void
SalvorHookChildEnded()
{
   childEnded.store(true);
   wakeLoop();
}

// Ends what ended hooks left running; the running hooks' trees stay.
void
SalvorHookEndLeftovers()
{
   std::vector<SalvorPlatChild> children;
   for (const SalvorHookRun &run : running) {
      children.push_back(run.child);
   }
   leftovers = SalvorPlat_EndLeftovers(children.data(), children.size());
}

std::string
SalvorHookNumber(int64_t value)
{
   return value < 0 ? std::string() : std::to_string(value);
}

SalvorHookJob
SalvorHookJobOf(const SalvorDumpRecord &rec)
{
   SalvorHookJob job;
   job.env = {
      std::string("SALVOR_OUTCOME=") + SalvorOutcomeName(rec.outcome),
      "SALVOR_HOST=" + rec.host,
      "SALVOR_KEY=" + rec.key,
      "SALVOR_FILE=" + rec.file,
      "SALVOR_BYTES=" + std::to_string(rec.bytes),
      "SALVOR_SIZE=" + SalvorHookNumber(rec.size),
      "SALVOR_HOLE_BYTES=" + SalvorHookNumber(rec.holeBytes),
      std::string("SALVOR_STARTED=") + rec.started,
      std::string("SALVOR_ENDED=") + rec.ended,
      "SALVOR_REASON=" + rec.reason,
      "SALVOR_RECORD=" + rec.line,
   };
   job.what = std::string(SalvorOutcomeName(rec.outcome)) + " dump of " + rec.host +
              (rec.file.empty() ? std::string() : " (" + rec.file + ")");
   return job;
}

void
SalvorHookStart(SalvorHookJob &&job)
{
   std::vector<const char *> env;
   for (const std::string &e : job.env) {
      env.push_back(e.c_str());
   }
   env.push_back(nullptr);
   SalvorPlatChild child{};
   int err = SalvorPlat_SpawnChild(SalvorOpsConfig.dumpHook, env.data(), &child);
   if (err != 0) {
      Log("Cannot run the dump hook %s for the %s: %s\n", SalvorOpsConfig.dumpHook,
          job.what.c_str(), File_ErrorText(err));
      salvorOpsCounters.hookRuns[SALVOR_HOOK_SPAWN_FAILED]++;
      return;
   }
   running.push_back(SalvorHookRun{child, SalvorClockUsec(), std::move(job.what), {}, false,
                                   false});
}

// Takes what the hook wrote to its standard error; keeps its first line.
void
SalvorHookDrain(SalvorHookRun *run)
{
   char buf[512];
   long n;
   while ((n = SalvorPlat_ReadPipe(run->child.errPipe, buf, sizeof buf)) > 0) {
      for (long i = 0; i < n && !run->lineDone; i++) {
         if (buf[i] == '\n' || run->firstLine.size() >= SALVOR_HOOK_LINE_MAX) {
            run->lineDone = true;
         } else {
            run->firstLine.push_back(buf[i]);
         }
      }
   }
}

void
SalvorHookLogEnd(const SalvorHookRun &run, int exitCode)
{
   // A line ended with "\r\n" (a batch file's) ends before the "\r"; a
   // carriage return inside it would overwrite what the log shows.
   std::string line = run.firstLine;
   if (!line.empty() && line.back() == '\r') {
      line.pop_back();
   }
   std::replace(line.begin(), line.end(), '\r', ' ');
   std::string detail;
   if (!line.empty()) {
      detail = ": " + line;
   }
   SalvorHookResult result;
   if (run.killed) {
      result = SALVOR_HOOK_TIMED_OUT;
      Log("Dump hook %s for the %s was killed after %d seconds%s\n", SalvorOpsConfig.dumpHook,
          run.what.c_str(), SalvorOpsConfig.hookTimeout, detail.c_str());
   } else if (exitCode < 0) {
      result = SALVOR_HOOK_FAILED;
      Log("Dump hook %s for the %s was ended by signal %d%s\n", SalvorOpsConfig.dumpHook,
          run.what.c_str(), -exitCode, detail.c_str());
   } else {
      result = exitCode == 0 ? SALVOR_HOOK_SUCCEEDED : SALVOR_HOOK_FAILED;
      Log("Dump hook %s for the %s exited with status %d%s\n", SalvorOpsConfig.dumpHook,
          run.what.c_str(), exitCode, detail.c_str());
   }
   salvorOpsCounters.hookRuns[result]++;
}

// Looks at every running hook once; true when one ended.
bool
SalvorHookCheckRunning(uint64_t now)
{
   bool ended = false;
   for (size_t i = 0; i < running.size();) {
      SalvorHookRun &run = running[i];
      SalvorHookDrain(&run);
      int exitCode = 0;
      if (SalvorPlat_ReapChild(run.child, &exitCode)) {
         SalvorHookDrain(&run);
         SalvorPlat_ClosePipe(run.child.errPipe);
         SalvorHookLogEnd(run, exitCode);
         running.erase(running.begin() + (long)i);
         ended = true;
         continue;
      }
      if (!run.killed && now - run.startedUsec > (uint64_t)SalvorOpsConfig.hookTimeout * 1000000u) {
         SalvorPlat_KillChild(run.child);
         run.killed = true;
      }
      i++;
   }
   return ended;
}

void
SalvorHookStartQueued()
{
   while (running.size() < SALVOR_HOOK_MAX_RUNNING && !queued.empty()) {
      SalvorHookJob job = std::move(queued.front());
      queued.pop_front();
      SalvorHookStart(std::move(job));
   }
}

}  // namespace

void
SalvorHookDumpEnded(const SalvorDumpRecord &record)
{
   if (SalvorOpsConfig.dumpHook[0] == '\0') {
      return;
   }
   if (queued.size() >= SALVOR_HOOK_MAX_QUEUED) {
      Log("The dump hook's queue is full (%zu waiting): %s is not run for the %s dump of %s.\n",
          queued.size(), SalvorOpsConfig.dumpHook, SalvorOutcomeName(record.outcome),
          record.host.c_str());
      salvorOpsCounters.hookRuns[SALVOR_HOOK_DROPPED]++;
      return;
   }
   queued.push_back(SalvorHookJobOf(record));
   SalvorHookStartQueued();
}

void
SalvorHookWatch(void (*wake)())
{
   if (SalvorOpsConfig.dumpHook[0] == '\0' || wakeLoop != nullptr) {
      return;
   }
   wakeLoop = wake;
   SalvorPlat_WatchChildren(SalvorHookChildEnded);
}

int
SalvorHookNextWaitMs()
{
   if (running.empty()) {
      return -1;  // the common case: no clock read on the receive path
   }
   uint64_t now = SalvorClockUsec();
   uint64_t wait = UINT64_MAX;
   for (const SalvorHookRun &run : running) {
      uint64_t deadline = run.startedUsec + (uint64_t)SalvorOpsConfig.hookTimeout * 1000000u;
      if (!run.killed) {
         wait = std::min(wait, deadline > now ? deadline - now : 0);
      }
   }
   if (wait == UINT64_MAX) {
      return -1;
   }
   // Past the deadline the poll's spacing still holds: no busy loop.
   wait = std::max(wait + 999, SALVOR_HOOK_POLL_USEC) / 1000;
   return wait > INT32_MAX ? INT32_MAX : (int)wait;
}

void
SalvorHookPoll()
{
   if (running.empty() && leftovers == 0) {
      return;
   }
   bool woken = childEnded.exchange(false);
   uint64_t now = SalvorClockUsec();
   if (!woken && now - lastPoll < SALVOR_HOOK_POLL_USEC) {
      return;
   }
   lastPoll = now;
   bool ended = SalvorHookCheckRunning(now);
   if (ended || leftovers > 0) {
      SalvorHookEndLeftovers();
   }
   if (ended) {
      SalvorHookStartQueued();
   }
}

void
SalvorHookShutdown()
{
   SalvorHookCheckRunning(SalvorClockUsec());
   // What hooks that ended left behind does not outlive the collector.
   SalvorHookEndLeftovers();
   SalvorHookStartQueued();
   if (!queued.empty()) {
      Log("Stopping with %zu dump hook runs that did not start: they are not run.\n",
          queued.size());
      salvorOpsCounters.hookRuns[SALVOR_HOOK_DROPPED] += queued.size();
      queued.clear();
   }
   if (!running.empty()) {
      Log("Stopping with %zu dump hooks still running: they finish on their own.\n",
          running.size());
      for (SalvorHookRun &run : running) {
         SalvorPlat_ReleaseChild(run.child);
      }
      running.clear();
   }
}

size_t
SalvorHookRunning()
{
   return running.size();
}

size_t
SalvorHookQueued()
{
   return queued.size();
}

void
SalvorHookSubscribe()
{
   static const SalvorLoopTask task{.start = SalvorHookWatch,
                                    .eachPass = SalvorHookPoll,
                                    .waitMs = SalvorHookNextWaitMs,
                                    .stop = SalvorHookShutdown};
   SalvorAddLoopTask(&task);
}
