// The journal file: each record is one line appended whole, or not at
// all. While the file system takes none (it is full, say), records wait
// in memory, up to SALVOR_JOURNAL_MAX_WAITING of them, and go out in
// order once a write succeeds again; records beyond that are dropped,
// logged and counted (salvorOpsCounters.journalDropped).
#pragma once

#include <cstddef>
#include <string>

constexpr size_t SALVOR_JOURNAL_MAX_WAITING = 1024;

// The journal's path; empty: records are neither written nor kept.
void SalvorJournalFileSetPath(const std::string &path);
// Writes `line` and a newline after any records still waiting.
void SalvorJournalFileAppend(const std::string &line);
// Tries the waiting records again, at most once a second.
void SalvorJournalFileRetryIfDue();
// Tries them once more at a stop, and logs those that are lost.
void SalvorJournalFileStop();
// Records waiting to be written.
size_t SalvorJournalFileWaiting();
