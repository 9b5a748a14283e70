// The collector's command line; see salvorMain.h.
#include "collector/service/salvorMain.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "collector/platform/salvorPlat.h"
#include "collector/platform/salvorScm.h"
#include "collector/startup/salvorConfig.h"
#include "collector/receive/salvorServer.h"
#include "collector/service/salvorService.h"
#include "collector/service/salvorWiring.h"
#include "collector/startup/salvorStartup.h"
#include "lib/log/log.h"

namespace {

constexpr const char *DEBUG_USAGE = "salvor debug -s <config.xml>";
constexpr const char *SERVICE_USAGE = "salvor -s <config.xml>";

int
SalvorRunDebug(int argc, char **argv)
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
   if (after == 3 && strcasecmp(argv[4], "-d") == 0) {
      SalvorPlat_DebugBreak();
   }
   // Ctrl-C stops the foreground collector as a service's stop does: the
   // dumps in progress are journaled and the queued hooks logged.
   SalvorPlat_OnStopRequest(SalvorServerRequestStop);
   return SalvorServerLoop();
}

}  // namespace

int
SalvorWin32_Main(int argc, char **argv)
{
   SalvorWireOperations();
   if (argc >= 2) {
      if (strcasecmp(argv[1], "install") == 0) {
         return SalvorWin32InstallService() == 0 ? 0 : SALVOR_EXIT_CONFIG;
      }
      if (strcasecmp(argv[1], "uninstall") == 0) {
         return SalvorWin32UninstallService() == 0 ? 0 : SALVOR_EXIT_CONFIG;
      }
      if (strcasecmp(argv[1], "debug") == 0) {
         return SalvorRunDebug(argc, argv);
      }
   }
   const char *notRunning;
   if (argc == 3 && strcasecmp(argv[1], "-s") == 0) {
      SalvorWin32InitLog("SalvorWin32_Main: -s config file provided. \n");
      int err = SalvorWin32ParseOptions(argc, argv);
      if (err != 0) {
         SalvorWin32InitLog("SalvorWin32_Main: Invalid argument: %s\n", SERVICE_USAGE);
         // Not 0: the service manager would read that as a clean stop.
         std::fprintf(stderr, "salvor: %s; usage: %s\n",
                      err == SALVOR_OPTIONS_WRONG_SHAPE ? "wrong arguments"
                                                        : "the configuration was refused",
                      SERVICE_USAGE);
         return err == SALVOR_OPTIONS_WRONG_SHAPE ? SALVOR_EXIT_USAGE : SALVOR_EXIT_CONFIG;
      }
      SalvorWin32InitLog("SalvorWin32_Main: Initializing log with %s\n", SalvorConfig.logFile);
      SalvorWin32InitLogging();
      notRunning = "SalvorWin32_Main: Service not running, returning\n";
   } else {
      SalvorWin32InitLog("SalvorWin32_Main: No arguments provided, assuming command line will "
                         "have some, trying to run service\n");
      notRunning = "SalvorWin32_Main: no built-in args. Service not running, returning\n";
   }
   if (!SalvorWin32RunService()) {
      SalvorWin32InitLog("%s", notRunning);
      std::fprintf(stderr, "salvor: not started by the service manager (%s); run the collector "
                   "in the foreground with: %s\n", SalvorScm_NotStartedHint(), DEBUG_USAGE);
      return SALVOR_EXIT_NOT_A_SERVICE;
   }
   // A service stopped on request ends with 0 (even when the request came
   // before it was running), one that could not run with 1.
   const SalvorServiceOutcome &outcome = SalvorServiceLastOutcome();
   int code = 0;
   if (outcome.failed || (!outcome.reachedRunning && !SalvorConfig.stopRequested)) {
      SalvorWin32InitLog("%s", notRunning);
      code = SALVOR_EXIT_CONFIG;
   }
   SalvorScm_EndServiceProcess(code);
   return code;
}
