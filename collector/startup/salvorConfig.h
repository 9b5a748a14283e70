// The collector's process-wide settings record.
//
// Filled with its defaults from the start of the process, written by the
// command line and the configuration reader during start-up, and only read
// afterwards, except stopRequested, which a stop request sets at any time.
#pragma once

#include <atomic>
#include <cstdint>

#include "collector/platform/salvorScmTypes.h"
#include "collector/startup/salvorSettingSizes.h"
#include "protocol/salvorProto.h"

constexpr const char *SALVOR_LOG_FILE_NAME = "salvor.log";

struct SalvorConfigRecord {
   int32_t port;
   char dataDir[SALVOR_PATH_SIZE];
   char logFile[SALVOR_PATH_SIZE];
   int32_t verbose;
   int32_t maxSize;
   int32_t sawDefaultValues;
   bool configLoaded;
   bool debugMode;
   std::atomic<bool> stopRequested;
   char initLogPath[SALVOR_PATH_SIZE];
   bool initLogPathSet;
   SalvorServiceStatus serviceStatus;
   void *serviceStatusHandle;
};

extern SalvorConfigRecord SalvorConfig;

// Puts every field of this record, of SalvorNetConfig and of
// SalvorOpsConfig back to its default (used at start and by tests).
void SalvorConfigReset();
