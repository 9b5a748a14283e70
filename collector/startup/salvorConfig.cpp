// The collector's settings record; see salvorConfig.h.
#include "collector/startup/salvorConfig.h"

#include <cstring>

#include "collector/startup/salvorNetConfig.h"
#include "collector/startup/salvorOpsConfig.h"

SalvorConfigRecord SalvorConfig = {
   SALVOR_DEFAULT_PORT, "", "", 0, 2, 0, false, false, {false}, "", false, {}, nullptr,
};

void
SalvorConfigReset()
{
   SalvorConfig.port = SALVOR_DEFAULT_PORT;
   SalvorConfig.dataDir[0] = '\0';
   SalvorConfig.logFile[0] = '\0';
   SalvorConfig.verbose = 0;
   SalvorConfig.maxSize = 2;
   SalvorConfig.sawDefaultValues = 0;
   SalvorConfig.configLoaded = false;
   SalvorConfig.debugMode = false;
   SalvorConfig.stopRequested = false;
   SalvorConfig.initLogPath[0] = '\0';
   SalvorConfig.initLogPathSet = false;
   std::memset(&SalvorConfig.serviceStatus, 0, sizeof SalvorConfig.serviceStatus);
   SalvorConfig.serviceStatusHandle = nullptr;
   SalvorOpsConfigReset();
   SalvorNetConfigReset();
}
