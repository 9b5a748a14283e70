// The operators' side's counters; see salvorOpsCounters.h.
#include "collector/operations/salvorOpsCounters.h"

SalvorOpsCounters salvorOpsCounters{};

namespace {

const char *const OUTCOMES[SALVOR_OUTCOME_COUNT] = {
   "complete", "incomplete", "expired", "writeFailed", "stopped", "removed", "keyRevoked", "lost",
};

}  // namespace

const char *
SalvorOutcomeName(SalvorOutcome outcome)
{
   return outcome >= 0 && outcome < SALVOR_OUTCOME_COUNT ? OUTCOMES[outcome] : "unknown";
}
