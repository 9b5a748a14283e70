// The dump journal: how every dump ended, one JSON line per dump appended
// to dumps.jsonl in the log directory, written as soon as the dump ends
// and past the log's throttle. What a line says is gathered while the
// dump is received: the ranges of the file that were written, the
// messages and the repeats among them.
//
// It hears of each dump from the receive path's events
// (salvorDumpEvents.h). Each ended dump is also counted for the metrics
// and handed to the dump hook.
#pragma once

#include <cstdint>

#include "collector/operations/salvorDumpRecord.h"
#include "lib/net/net.h"

constexpr const char *SALVOR_JOURNAL_FILE_NAME = "dumps.jsonl";

/*
 * Where the journal goes: next to the log file `logFile` (empty: no
 * journal file; the dumps are still counted and hooked).
 */
void SalvorJournalSetLogFile(const char *logFile);
/*
 * Follows the dumps' events, and writes the journal next to the
 * configured log file while the loop runs (call once before it runs).
 */
void SalvorJournalSubscribe();
// Payload bytes written so far to the dump in progress in `slot`.
uint64_t SalvorJournalBytes(int slot);
/*
 * A dump put back in its slot at a start (its begun event says so): the
 * ranges its file had received before, which count as received, or that
 * they are not known.
 */
void SalvorJournalRestoreRange(int slot, uint64_t start, uint64_t end);
void SalvorJournalRestoreUnknown(int slot);

// A dump in progress before a restart that could not be put back.
struct SalvorLostDump {
   int slot;
   NetIp host;
   int64_t timestamp;
   const char *key;   // its key's name when sealed; null when plain
   const char *path;  // its file's, when known
   int64_t startedWallUsec;
   uint64_t bytes;    // received before the restart
   uint32_t resumed;  // the restarts it had survived before
   const char *reason;
};
// Writes, counts and hooks its record, outcome `lost`.
void SalvorJournalLost(const SalvorLostDump &dump);
/*
 * A finished dump file that the retention removed: `host` its sender,
 * `path` its name, `size` and `mtimeSec` what it had.
 */
void SalvorJournalRemoved(const char *host, const char *path, int64_t size, int64_t mtimeSec,
                          const char *reason);
