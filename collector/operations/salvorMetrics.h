// The collector's counters, and the metrics file that shows them: text in
// the text exposition format that a node exporter's text file collector
// reads (help and type for every family, counters named with _total),
// written whole (a new temporary file renamed over the old one) every
// SALVOR_METRICS_PERIOD_SEC seconds and at stop. Counting costs an addition; the
// file is written only when <metricsFile> is set.
#pragma once

#include <cstdint>

constexpr uint64_t SALVOR_METRICS_PERIOD_SEC = 15;

// How a dump ended; its journal line says it in words.
enum SalvorOutcome : int {
   SALVOR_OUTCOME_COMPLETE,
   SALVOR_OUTCOME_INCOMPLETE,
   SALVOR_OUTCOME_EXPIRED,
   SALVOR_OUTCOME_WRITE_FAILED,
   SALVOR_OUTCOME_STOPPED,
   SALVOR_OUTCOME_REMOVED,
   SALVOR_OUTCOME_COUNT,
};
const char *SalvorOutcomeName(SalvorOutcome outcome);

// Why an init was refused.
enum SalvorRefusal : int {
   SALVOR_REFUSED_NO_SLOT,
   SALVOR_REFUSED_NAMES_TAKEN,
   SALVOR_REFUSED_CREATE_FAILED,
   SALVOR_REFUSED_LOW_SPACE,
   SALVOR_REFUSED_NO_MEMORY,
   SALVOR_REFUSED_COUNT,
};

// Datagrams with a good magic, by message type.
enum SalvorDatagramType : int {
   SALVOR_DATAGRAM_INIT,
   SALVOR_DATAGRAM_DATA,
   SALVOR_DATAGRAM_DONE,
   SALVOR_DATAGRAM_STATUS_CHECK,
   SALVOR_DATAGRAM_UNKNOWN,
   SALVOR_DATAGRAM_TYPE_COUNT,
};

// Datagrams dropped unanswered.
enum SalvorDrop : int {
   SALVOR_DROP_EMPTY,
   SALVOR_DROP_SHORT,
   SALVOR_DROP_LONG,
   SALVOR_DROP_BAD_MAGIC,
   SALVOR_DROP_NOT_ALLOWED,  // from a host outside allowFrom
   SALVOR_DROP_COUNT,
};

// How a run of the dump hook ended.
enum SalvorHookResult : int {
   SALVOR_HOOK_SUCCEEDED,
   SALVOR_HOOK_FAILED,
   SALVOR_HOOK_TIMED_OUT,
   SALVOR_HOOK_SPAWN_FAILED,
   SALVOR_HOOK_DROPPED,
   SALVOR_HOOK_RESULT_COUNT,
};

struct SalvorCounters {
   uint64_t dumps[SALVOR_OUTCOME_COUNT];
   uint64_t refused[SALVOR_REFUSED_COUNT];
   uint64_t receivedBytes;
   uint64_t datagrams[SALVOR_DATAGRAM_TYPE_COUNT];
   uint64_t dropped[SALVOR_DROP_COUNT];
   uint64_t hookRuns[SALVOR_HOOK_RESULT_COUNT];
   uint64_t journalDropped;  // journal records never written
};

// Touched by the receive loop's thread only.
extern SalvorCounters salvorCounters;

SalvorDatagramType SalvorDatagramTypeOf(uint32_t type);

// Starts the metrics: the start time, and the first file at once.
void SalvorMetricsStart();
// Writes the file when its period has passed since the last one.
void SalvorMetricsWriteIfDue();
// Writes the file now (at stop).
void SalvorMetricsWrite();
