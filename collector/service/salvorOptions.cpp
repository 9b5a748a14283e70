// The collector's options and its log; see salvorOptions.h.
#include "collector/service/salvorOptions.h"

#include <cerrno>
#include <cstring>

#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorConfigFile.h"
#include "collector/startup/salvorStartup.h"
#include "lib/config/preference.h"
#include "lib/coreDump/coreDump.h"
#include "lib/log/log.h"
#include "lib/misc/vthreadBase.h"

int
SalvorWin32ParseOptions(int argc, char **argv)
{
   SalvorWin32InitLog("Parsing options.. %d arguments\n", argc);
   for (int i = 0; i < argc; i++) {
      SalvorWin32InitLog("Parsing options.. %d argument = %s\n", i, argv[i]);
   }
   bool shapeOk = (argc == 3 || (argc == 4 && std::strncmp(argv[3], "-d", 2) == 0)) &&
                  std::strncmp(argv[1], "-s", 2) == 0;
   if (!shapeOk) {
      return SALVOR_OPTIONS_WRONG_SHAPE;
   }
   if (SalvorWin32ReadConfig(argv[2]) != 0) {
      SalvorWin32InitLog("Error in configuration parameters (error = %d)\n", errno);
      // Not the reader's code: an access error (13) would read as a
      // vector of the wrong shape.
      return SALVOR_OPTIONS_CONFIG_REFUSED;
   }
   if (SalvorConfig.dataDir[0] == '\0') {
      // Dumps would land at the file system's root.
      SalvorWin32InitLog("No data directory is configured: %s needs a defaultDataPath "
                         "element.\n", argv[2]);
      return SALVOR_OPTIONS_CONFIG_REFUSED;
   }
   SalvorWin32InitLog("No errors found in parsing the config file.\n");
   SalvorConfig.configLoaded = true;
   return 0;
}

void
SalvorWin32InitLogging()
{
   Preference_Init();
   VThread_SetName("salvor");
   // The core image's reserve and names, with the store's panic.* keys.
   CoreDump_Prepare();
   bool started;
   if (SalvorConfig.logFile[0] != '\0') {
      started = Log_InitWithFile(SalvorConfig.logFile, "salvor");
   } else {
      // No log directory: the keys decide (the event log, or no output).
      LogParams params;
      Log_ParamsDefaults(&params);
      params.useTimeStamps = false;
      params.systemLoggerUse = 2;
      Log_ParamsFromConfig("salvor", &params);
      started = Log_Init(&params);
   }
   if (!started) {
      SalvorFatal("Failed to initialze log (%s). Please check the permissions.\n",
                  SalvorConfig.logFile);
   }
}
