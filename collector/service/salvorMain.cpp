// The collector's command line; see salvorMain.h.
#include "collector/service/salvorMain.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <strings.h>

#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorConfigFile.h"
#include "collector/server/salvorServer.h"
#include "collector/startup/salvorStartup.h"
#include "lib/config/preference.h"
#include "lib/log/log.h"
#include "lib/misc/vthreadBase.h"

namespace {

constexpr const char *DEBUG_USAGE = "salvor debug -s <config.xml>";
constexpr const char *SERVICE_USAGE = "salvor -s <config.xml>";

bool
DebuggerAttached()
{
   std::ifstream status("/proc/self/status");
   std::string line;
   while (std::getline(status, line)) {
      if (line.rfind("TracerPid:", 0) == 0) {
         return std::stoi(line.substr(10)) != 0;
      }
   }
   return false;
}

int
RunDebug(int argc, char **argv)
{
   SalvorConfig.debugMode = true;
   SalvorWin32InitLog("SalvorWin32_Main: Running in debug mode\n");
   int after = argc - 2;  // arguments after "debug"
   if ((after != 2 && after != 3) || strcasecmp(argv[2], "-s") != 0) {
      SalvorWin32InitLog("SalvorWin32_Main: Invalid argument: %s\n", DEBUG_USAGE);
      return SALVOR_EXIT_USAGE;
   }
   int err = SalvorWin32ParseOptions(argc - 1, argv + 1);
   if (err == SALVOR_OPTIONS_WRONG_SHAPE) {
      return SALVOR_EXIT_USAGE;
   }
   if (err != 0) {
      return SALVOR_EXIT_CONFIG;
   }
   SalvorWin32InitLogging();
   // Without a debugger the break would only end the process.
   if (after == 3 && strcasecmp(argv[4], "-d") == 0 && DebuggerAttached()) {
      raise(SIGTRAP);
   }
   return SalvorServerLoop();
}

}  // namespace

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
   if (SalvorConfig.logFile[0] != '\0' && !Log_InitWithFile(SalvorConfig.logFile, "salvor")) {
      SalvorFatal("Failed to initialze log (%s). Please check the permissions.\n",
                  SalvorConfig.logFile);
   }
}

int
SalvorWin32_Main(int argc, char **argv)
{
   if (argc >= 2) {
      if (strcasecmp(argv[1], "debug") == 0) {
         return RunDebug(argc, argv);
      }
      if (strcasecmp(argv[1], "install") == 0 || strcasecmp(argv[1], "uninstall") == 0) {
         std::fprintf(stderr, "salvor: '%s' is not available on this system yet; "
                      "run the collector in the foreground with: %s\n", argv[1], DEBUG_USAGE);
         return SALVOR_EXIT_USAGE;
      }
   }
   std::fprintf(stderr, "salvor: running under the service manager (%s) is not available "
                "yet; run the collector in the foreground with: %s\n", SERVICE_USAGE, DEBUG_USAGE);
   return SALVOR_EXIT_USAGE;
}
