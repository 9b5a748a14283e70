// The dump hook: a program of the operator's run for every journal line,
// with what the line says in its environment (SALVOR_OUTCOME, SALVOR_HOST,
// SALVOR_FILE, SALVOR_BYTES, SALVOR_SIZE, SALVOR_HOLE_BYTES,
// SALVOR_STARTED, SALVOR_ENDED, SALVOR_REASON and the whole line as
// SALVOR_RECORD).
//
// The receive loop never waits for a hook: hooks are started without
// waiting, at most SALVOR_HOOK_MAX_RUNNING at once, with up to
// SALVOR_HOOK_MAX_QUEUED more waiting their turn (what comes beyond is
// logged and dropped); each is looked at between datagrams and as soon
// as it ends (its end wakes the loop), killed after <hookTimeout>
// seconds, and its end logged with its exit status and the first line of
// its standard error. A hook's whole process tree ends with it: what it
// leaves running when it exits or is killed is ended too.
#pragma once

#include <cstddef>

struct SalvorDumpRecord;

constexpr size_t SALVOR_HOOK_MAX_RUNNING = 4;
constexpr size_t SALVOR_HOOK_MAX_QUEUED = 1024;

/*
 * Has the loop poll, wait for and shut down the hooks (call once before
 * it runs).
 */
void SalvorHookSubscribe();
/*
 * With a hook configured, has `wake` called (from a signal handler or a
 * thread of the system's) whenever a hook ends, so that the loop polls at
 * once. Call once before the loop runs.
 */
void SalvorHookWatch(void (*wake)());
/*
 * How long the loop may wait before a running hook's time is up, in
 * milliseconds (at least the poll's spacing); -1 when no hook runs.
 */
int SalvorHookNextWaitMs();
// Queues a run of the hook for an ended dump; nothing without a hook.
void SalvorHookDumpEnded(const SalvorDumpRecord &record);
/*
 * Reaps the hooks that ended, kills those past their time and starts
 * queued ones. Cheap when no hook runs: called on every pass of the loop.
 */
void SalvorHookPoll();
/*
 * At stop: starts what the limit allows of the queue, logs the rest as
 * not run, and leaves the running hooks to finish on their own.
 */
void SalvorHookShutdown();
// Hooks running, and waiting to run.
size_t SalvorHookRunning();
size_t SalvorHookQueued();
