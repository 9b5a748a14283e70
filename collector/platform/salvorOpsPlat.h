// Platform layer of the collector's operations features: the dump
// journal's clock and the dump hook's child processes. The back ends are
// salvorOpsPlatPosix.cpp and salvorOpsPlatWin32.cpp; what is portable,
// salvorOpsPlat.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "lib/file/fileTypes.h"

// Microseconds since 1970-01-01 UTC on the wall clock.
int64_t SalvorPlat_WallUsec();

/*
 * ISO 8601 local time with milliseconds and the zone's offset, such as
 * "2026-03-01T12:34:56.789+01:00". `size` of 40 is always enough.
 */
void SalvorPlat_FormatIsoTime(int64_t wallUsec, char *buf, size_t size);

// A child process and the read end of the pipe on its standard error.
struct SalvorPlatChild {
   intptr_t pid;
   FileHandle errPipe;  // non-blocking
};

/*
 * Prepares the process for children whose whole tree it ends, and has
 * `onChildEnded` called whenever one of its children ends: from a signal
 * handler on POSIX, from a thread of the system's on Windows, so it may
 * only do what is safe there. On Linux the collector becomes a child
 * subreaper: what a child leaves running when it ends is reparented to
 * the collector, not to the system, for SalvorPlat_EndLeftovers to end.
 * Call once, before the first SalvorPlat_SpawnChild.
 */
void SalvorPlat_WatchChildren(void (*onChildEnded)());

/*
 * Starts `path` with no arguments, standard input and output on the null
 * device, standard error on a pipe, and `env` ("NAME=value", null
 * terminated) put before the collector's own environment. The child and
 * everything it starts form a tree that ends with it: on Linux the child
 * runs in a group of its own and is itself a subreaper, so that while it
 * runs whatever its descendants leave behind stays in its tree; on
 * Windows it runs in a job that ends all of it. On Windows a batch file
 * (.cmd, .bat) runs in the command interpreter. Returns 0, or the
 * platform error.
 */
int SalvorPlat_SpawnChild(const char *path, const char *const *env, SalvorPlatChild *child);

/*
 * Whether the child has ended, without waiting. Once it has, *exitCode is
 * its exit code, or minus the number of the signal that ended it, and
 * what was left of its tree is being ended: its group on POSIX (the rest
 * comes to SalvorPlat_EndLeftovers), its job on Windows.
 */
bool SalvorPlat_ReapChild(const SalvorPlatChild &child, int *exitCode);

// Ends the child and everything in its tree at once.
void SalvorPlat_KillChild(const SalvorPlatChild &child);

/*
 * Ends and reaps the processes that children which ended left behind:
 * every child of the collector that is not one of the `count` children
 * still `running` (all of the collector's children are ones it spawned
 * here). Returns how many of them have not been reaped yet; their end
 * calls `onChildEnded`, so call again then. Windows' jobs leave nothing
 * behind: 0 there.
 */
size_t SalvorPlat_EndLeftovers(const SalvorPlatChild *running, size_t count);

/*
 * Lets a running child go without ending it, when the collector stops
 * before it: it finishes on its own, and the handles of it are closed.
 */
void SalvorPlat_ReleaseChild(const SalvorPlatChild &child);

/*
 * Reads what the pipe holds now, without waiting: the count read, 0 at
 * its end, -1 when nothing is there yet.
 */
long SalvorPlat_ReadPipe(FileHandle pipe, char *buf, size_t size);
// Closes a child's pipe (FILE_INVALID_HANDLE is ignored).
void SalvorPlat_ClosePipe(FileHandle pipe);
