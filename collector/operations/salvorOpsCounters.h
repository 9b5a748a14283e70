// What the operators' side counts for the metrics: how dumps ended, how
// hooks ran, journal records lost. Touched by the receive loop's thread
// only. The receive path counts its own (receive/salvorCounters.h).
#pragma once

#include <cstdint>

// How a dump ended; its journal line says it in words.
enum SalvorOutcome : int {
   SALVOR_OUTCOME_COMPLETE,
   SALVOR_OUTCOME_INCOMPLETE,
   SALVOR_OUTCOME_EXPIRED,
   SALVOR_OUTCOME_WRITE_FAILED,
   SALVOR_OUTCOME_STOPPED,
   SALVOR_OUTCOME_REMOVED,
   SALVOR_OUTCOME_KEY_REVOKED,
   SALVOR_OUTCOME_LOST,  // in progress before a restart, and could not be resumed
   SALVOR_OUTCOME_COUNT,
};
const char *SalvorOutcomeName(SalvorOutcome outcome);

// How a run of the dump hook ended.
enum SalvorHookResult : int {
   SALVOR_HOOK_SUCCEEDED,
   SALVOR_HOOK_FAILED,
   SALVOR_HOOK_TIMED_OUT,
   SALVOR_HOOK_SPAWN_FAILED,
   SALVOR_HOOK_DROPPED,
   SALVOR_HOOK_RESULT_COUNT,
};

struct SalvorOpsCounters {
   uint64_t dumps[SALVOR_OUTCOME_COUNT];
   uint64_t dumpsPlain;   // dumps that ended, sent plain
   uint64_t dumpsSealed;  // and sealed
   uint64_t hookRuns[SALVOR_HOOK_RESULT_COUNT];
   uint64_t journalDropped;  // journal records never written
};

extern SalvorOpsCounters salvorOpsCounters;
