// The settings of the collector's operations features, read from their
// own elements of the configuration file: a hook run for every finished
// dump, free space to keep and retention on the data file system, and a
// metrics file. Each element left out leaves its feature off.
#pragma once

#include <cstdint>

#include "collector/startup/salvorSettingSizes.h"

constexpr int32_t SALVOR_DEFAULT_HOOK_TIMEOUT_SEC = 300;

struct SalvorOpsConfigRecord {
   char dumpHook[SALVOR_PATH_SIZE];     // empty: no hook
   int32_t hookTimeout;                 // seconds
   int64_t keepFreeMiB;                 // 0: no limit
   int32_t keepDays;                    // 0: kept however old
   int32_t keepPerHost;                 // 0: kept however many
   char metricsFile[SALVOR_PATH_SIZE];  // empty: none written
   int32_t resumeDumps;                 // 1: dumps in progress survive a restart
};

extern SalvorOpsConfigRecord SalvorOpsConfig;

void SalvorOpsConfigReset();
