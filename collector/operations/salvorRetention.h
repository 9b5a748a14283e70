// Keeping the data file system usable, all of it optional:
// - <keepFreeMiB>: an init is refused with hxk_limit_exceeded, and a data
//   write with hxk_write_failed, when it would leave less free space than
//   that. Free space is asked of the file system at every init and at most
//   once a second otherwise; in between, the bytes written since count
//   against it, so a data message costs no system call.
// - <keepDays>, <keepPerHost>: finished dumps older than that, or beyond
//   the newest so many of their host, are removed at the idle sweep, each
//   logged and journaled as "removed"; host directories left empty go too.
//   Only finished dump files of ours are removed (regular, named as the
//   collector names its host's dumps, zdump_<host>-YYYY-MM-DD-HH_MM-N, or
//   that with a shipped hook's .zst or .zip, without the write bit of a
//   dump in progress, held by no slot), and no link is followed on the way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/net/net.h"

// How often the retention looks at the data directory when nothing ends.
constexpr uint64_t SALVOR_RETENTION_PERIOD_SEC = 60;

/*
 * Has the receive path ask for room before it begins a dump or writes,
 * and the idle sweep run the retention (call once before the loop runs).
 */
void SalvorRetentionSubscribe();
// Whether a new dump may start; logs why not.
bool SalvorDiskAllowsInit(const NetIp &clientIP);
// Whether `bytes` more may be written; logs why not now and then.
bool SalvorDiskAllowsWrite(const NetIp &clientIP, size_t bytes);
// Counts bytes written since free space was last asked for.
void SalvorDiskWritten(size_t bytes);
/*
 * Free bytes on the data file system, asked now; false when the file
 * system cannot say.
 */
bool SalvorDiskFreeBytes(uint64_t *freeBytes);

// A dump was finished: the retention looks again at the next sweep.
void SalvorRetentionDumpFinished();
// Runs the retention when it is configured and due.
void SalvorRetentionSweepIfDue();
// Runs it now (tests, and the start).
void SalvorRetentionSweep();
