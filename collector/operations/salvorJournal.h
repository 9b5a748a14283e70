// The dump journal: how every dump ended, one JSON line per dump appended
// to dumps.jsonl in the log directory, written as soon as the dump ends
// and past the log's throttle. What a line says is gathered while the
// dump is received: the ranges of the file that were written, the
// messages and the repeats among them.
//
// Each ended dump is also counted for the metrics and handed to the dump
// hook.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "collector/operations/salvorMetrics.h"

constexpr const char *SALVOR_JOURNAL_FILE_NAME = "dumps.jsonl";

struct salvorCoreDumpInfo;

// A dump that ended, as the journal and the hook see it.
struct SalvorDumpRecord {
   SalvorOutcome outcome;
   std::string host;
   std::string file;     // empty when the file is gone
   std::string reason;
   char started[40];     // ISO 8601; empty when not known
   char ended[40];
   uint64_t bytes;       // payload bytes written
   int64_t size;         // the file's size; -1 when not known
   int64_t holeBytes;    // -1 when not known
   std::string line;     // the journal line, without its newline
};

/*
 * Where the journal goes: next to the log file `logFile` (empty: no
 * journal file; the dumps are still counted and hooked).
 */
void SalvorJournalSetLogFile(const char *logFile);

// A slot was taken for a new dump.
void SalvorJournalDumpStarted(const salvorCoreDumpInfo *slot);
/*
 * A data message of the dump was written at `offset`: `written` of its
 * `length` bytes reached the file; `error` says why the rest did not.
 * Counts the bytes.
 */
void SalvorJournalData(const salvorCoreDumpInfo *slot, uint64_t offset, size_t length,
                       size_t written, int error);
/*
 * A data message of the dump was not written at all: `why` (static text),
 * or when null the platform error `error`, says why. Its bytes are a hole
 * unless written later.
 */
void SalvorJournalDataRefused(const salvorCoreDumpInfo *slot, uint64_t offset, size_t length,
                              int error, const char *why);
// Payload bytes written to a dump in progress so far.
uint64_t SalvorJournalBytes(const salvorCoreDumpInfo *slot);

// The size of a dump's open file; -1 when it cannot be had.
int64_t SalvorJournalFileSize(const salvorCoreDumpInfo *slot);

/*
 * Its done came: complete, incomplete (holes below its highest byte) or
 * writeFailed (bytes whose write failed and that were not written since,
 * wherever they lie). A `sparse` dump, whose sender left its holes out on
 * purpose, is complete with them. `size` as for SalvorJournalDumpEnded.
 */
void SalvorJournalDumpDone(const salvorCoreDumpInfo *slot, int64_t size, bool sparse);
/*
 * The idle sweep ended it after `idleSec` seconds: expired, or writeFailed
 * when bytes whose write failed were never written since.
 */
void SalvorJournalDumpExpired(const salvorCoreDumpInfo *slot, uint64_t idleSec, bool fileKept,
                              int64_t size);
/*
 * It ended otherwise. `fileKept`: its file is still there. `size` from
 * SalvorJournalFileSize before the file was closed.
 */
void SalvorJournalDumpEnded(const salvorCoreDumpInfo *slot, SalvorOutcome outcome,
                            const char *reason, bool fileKept, int64_t size);
// Every dump still in progress, at a stop; then the records still waiting.
void SalvorJournalStopAll();
/*
 * A finished dump file that the retention removed: `host` its sender,
 * `path` its name, `size` and `mtimeSec` what it had.
 */
void SalvorJournalRemoved(const char *host, const char *path, int64_t size, int64_t mtimeSec,
                          const char *reason);
