// The collector as a service; see salvorService.h.
#include "collector/service/salvorService.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "collector/platform/salvorScm.h"
#include "collector/receive/salvorServer.h"
#include "collector/service/salvorOptions.h"
#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorStartup.h"

namespace {

constexpr uint32_t SALVOR_SERVICE_TYPE = 0x30;
constexpr uint32_t SALVOR_WAIT_HINT_MS = 6000;
constexpr size_t SALVOR_EXE_PATH_SIZE = 4096;
// The manager starts a failed service again after this long.
constexpr uint32_t SALVOR_RESTART_DELAY_MS = 5000;
// The log's own source in the system log (its default ident).
constexpr const char *SALVOR_LOG_SOURCE = "salvor";

// The status record and the outcome are shared by the service main's
// thread and the control handler's.
std::mutex statusLock;
SalvorServiceOutcome outcome = {false, false, 0};
std::string stopReason;  // why the service stopped on its own, for the operator

const SalvorServiceIdentity identity = {
   SALVOR_SERVICE_NAME, SALVOR_SERVICE_DISPLAY_NAME, SALVOR_SERVICE_DESCRIPTION,
};

// The operator's line for the state being reported.
std::string
SalvorServiceStatusText(uint32_t state)
{
   switch (state) {
   case SALVOR_STATE_START_PENDING:
      return "Starting";
   case SALVOR_STATE_RUNNING:
      if (SalvorConfig.configLoaded) {
         return "Collecting dumps on UDP port " + std::to_string(SalvorConfig.port) + " into " +
                SalvorConfig.dataDir;
      }
      return "Running without a configuration";
   case SALVOR_STATE_STOP_PENDING:
      return "Stopping";
   default:
      return stopReason.empty() ? "Stopped" : "Stopped: " + stopReason;
   }
}

// Tells the manager the record as it stands.
void
SalvorServiceSendStatusLocked()
{
   std::string text = SalvorServiceStatusText(SalvorConfig.serviceStatus.currentState);
   SalvorScm_SetStatus(SalvorConfig.serviceStatusHandle, &SalvorConfig.serviceStatus,
                       text.c_str());
}

void
SalvorServiceReportStatusLocked(uint32_t state)
{
   SalvorServiceStatusMove(&SalvorConfig.serviceStatus, state, outcome.failure);
   if (state == SALVOR_STATE_RUNNING) {
      outcome.reachedRunning = true;
   }
   SalvorServiceSendStatusLocked();
}

void
SalvorServiceReportStatus(uint32_t state)
{
   std::lock_guard<std::mutex> guard(statusLock);
   SalvorServiceReportStatusLocked(state);
}

// Accepts stop and shutdown and reports running, unless a stop came first.
void
SalvorServiceReportRunning()
{
   std::lock_guard<std::mutex> guard(statusLock);
   if (SalvorConfig.serviceStatus.currentState != SALVOR_STATE_START_PENDING) {
      return;
   }
   SalvorConfig.serviceStatus.controlsAccepted |= SALVOR_ACCEPT_STOP_SHUTDOWN;
   SalvorServiceReportStatusLocked(SALVOR_STATE_RUNNING);
}

void
SalvorServiceStopWithReason(const char *reason, uint32_t failure)
{
   std::lock_guard<std::mutex> guard(statusLock);
   outcome.failed = true;
   outcome.failure = failure;
   stopReason = reason;
   SalvorScm_ReportError(reason);
}

// The server's fatal exit, told to the manager before the process ends.
void
SalvorServiceReportFatal(const char *text)
{
   std::string reason = text;
   while (!reason.empty() && (reason.back() == '\n' || reason.back() == '.')) {
      reason.pop_back();
   }
   SalvorServiceStopWithReason(reason.c_str(), SALVOR_SERVICE_FAILED_START);
   SalvorServiceReportStatus(SALVOR_STATE_STOPPED);
}

/*
 * Removes a registration known to be stopped; anything else stays, with
 * the reason on standard error.
 */
int
SalvorUninstallOpened(SalvorScmHandle *service)
{
   bool packaged = false;
   const char *where = SalvorScm_ServiceLocation(service, &packaged);
   if (packaged) {
      std::fprintf(stderr, "salvor: the service %s was installed by a package (%s); remove it "
                   "with the package manager\n", SALVOR_SERVICE_NAME, where);
      return EPERM;
   }
   uint32_t state = 0;
   if (!SalvorScm_QueryState(service, &state)) {
      int err = errno != 0 ? errno : EIO;
      std::fprintf(stderr, "salvor: cannot tell whether the service %s is stopped (%s); it "
                   "stays registered\n", SALVOR_SERVICE_NAME, SalvorScm_LastErrorText());
      return err;
   }
   if (state != SALVOR_STATE_STOPPED) {
      // Only a stopped service is removed.
      std::fprintf(stderr, "salvor: the service %s is %s; stop it first\n", SALVOR_SERVICE_NAME,
                   state == SALVOR_STATE_START_PENDING  ? "starting"
                   : state == SALVOR_STATE_STOP_PENDING ? "stopping"
                                                        : "running");
      return EBUSY;
   }
   if (!SalvorScm_DeleteService(service)) {
      int err = errno != 0 ? errno : EIO;
      std::fprintf(stderr, "salvor: cannot remove the service %s (%s): %s\n",
                   SALVOR_SERVICE_NAME, where, SalvorScm_LastErrorText());
      return err;
   }
   return 0;
}

/*
 * What goes with a new registration: its description, restarts after a
 * failure, and the system log's sources, which name the message library
 * beside the program. Each one missing is said, but keeps the service.
 */
void
SalvorInstallExtras(SalvorScmHandle *service, const char *exePath)
{
   if (!SalvorScm_SetDescription(service, SALVOR_SERVICE_DESCRIPTION)) {
      SalvorWin32InitLog("Could not apply the description to the service\n");
   }
   if (!SalvorScm_SetRestartOnFailure(service, SALVOR_RESTART_DELAY_MS)) {
      std::fprintf(stderr, "salvor: the service %s will not be restarted after a failure: %s\n",
                   SALVOR_SERVICE_NAME, SalvorScm_LastErrorText());
   }
   for (const char *source : {SALVOR_LOG_SOURCE, SALVOR_SERVICE_NAME}) {
      if (!SalvorScm_RegisterLogSource(source, exePath)) {
         std::fprintf(stderr, "salvor: cannot register the system log's source %s: %s\n",
                      source, SalvorScm_LastErrorText());
      }
   }
}

}  // namespace

void
SalvorServiceStatusMove(SalvorServiceStatus *status, uint32_t state, uint32_t failure)
{
   bool pending = state == SALVOR_STATE_START_PENDING || state == SALVOR_STATE_STOP_PENDING;
   status->checkPoint = !pending ? 0 : status->currentState == state ? status->checkPoint + 1 : 1;
   status->currentState = state;
   if (state == SALVOR_STATE_STOPPED) {
      status->win32ExitCode = failure != 0 ? SALVOR_EXIT_SERVICE_SPECIFIC : 0;
      status->serviceSpecificExitCode = failure;
   }
}

const SalvorServiceOutcome &
SalvorServiceLastOutcome()
{
   return outcome;
}

void
SalvorServiceResetOutcome()
{
   std::lock_guard<std::mutex> guard(statusLock);
   outcome = {false, false, 0};
   stopReason.clear();
}

int
SalvorWin32InstallService()
{
   SalvorScmOwned manager(SalvorScm_OpenManager(true));
   SalvorWin32InitLog("SalvorWin32InstallService...\n");
   if (!manager) {
      int err = errno;
      std::fprintf(stderr, "salvor: cannot register the service: %s\n", std::strerror(err));
      return err != 0 ? err : EIO;
   }
   char exePath[SALVOR_EXE_PATH_SIZE];
   if (!SalvorScm_ExecutablePath(exePath, sizeof exePath)) {
      int err = errno;
      std::fprintf(stderr, "salvor: cannot find the program's own path: %s\n",
                   std::strerror(err));
      return err != 0 ? err : EIO;
   }
   if (!SalvorScm_ProgramIsProtected(exePath)) {
      std::fprintf(stderr, "salvor: the service %s is not registered: %s\n",
                   SALVOR_SERVICE_NAME, SalvorScm_LastErrorText());
      return EACCES;
   }
   SalvorScmOwned service(SalvorScm_CreateService(manager.Get(), &identity, exePath));
   if (!service) {
      int err = errno != 0 ? errno : EIO;
      std::fprintf(stderr, "salvor: cannot register the service %s: %s\n", SALVOR_SERVICE_NAME,
                   SalvorScm_LastErrorText());
      return err;
   }
   SalvorInstallExtras(service.Get(), exePath);
   return 0;
}

int
SalvorWin32UninstallService()
{
   SalvorScmOwned manager(SalvorScm_OpenManager(false));
   SalvorWin32InitLog("SalvorWin32UninstallService...\n");
   if (!manager) {
      int err = errno;
      std::fprintf(stderr, "salvor: cannot reach the service manager: %s\n", std::strerror(err));
      return err != 0 ? err : EIO;
   }
   SalvorScmOwned service(SalvorScm_OpenService(manager.Get(), SALVOR_SERVICE_NAME));
   if (service) {
      return SalvorUninstallOpened(service.Get());
   }
   if (errno == ENOENT) {
      std::fprintf(stderr, "salvor: the service %s is not registered\n", SALVOR_SERVICE_NAME);
      return ENOENT;
   }
   // Access denied, most often: a command prompt that is not elevated.
   int err = errno != 0 ? errno : EIO;
   std::fprintf(stderr, "salvor: cannot open the service %s: %s\n", SALVOR_SERVICE_NAME,
                SalvorScm_LastErrorText());
   return err;
}

bool
SalvorWin32RunService()
{
   SalvorWin32InitLog("SalvorWin32RunService...\n");
   return SalvorScm_StartDispatcher(SALVOR_SERVICE_NAME, SalvorWin32ServiceMain);
}

void
SalvorWin32ServiceMain(int argc, char **argv)
{
   {
      std::lock_guard<std::mutex> guard(statusLock);
      SalvorConfig.serviceStatus = {SALVOR_SERVICE_TYPE, SALVOR_STATE_STOPPED, 0, 0, 0, 0,
                                    SALVOR_WAIT_HINT_MS};
   }
   SalvorConfig.serviceStatusHandle =
      SalvorScm_RegisterControlHandler(SALVOR_SERVICE_NAME, SalvorWin32ServiceControlHandler);
   if (SalvorConfig.serviceStatusHandle == nullptr) {
      SalvorWin32InitLog("SalvorWin32ServiceMain: Coudn't retrieve service status handle "
                         "(error = %d)\n", errno);
      SalvorServiceStopWithReason("cannot register the service's control handler",
                                  SALVOR_SERVICE_FAILED_START);
      return;
   }
   SalvorServiceReportStatus(SALVOR_STATE_START_PENDING);
   // A fatal start (the log, the socket) ends with its reason, never with
   // a report of running.
   SalvorSetFatalObserver(SalvorServiceReportFatal);

   bool refused = false;
   if (argc > 1) {
      for (int i = 0; i < argc; i++) {
         SalvorWin32InitLog("SalvorWin32ServiceMain: Arg %d is %s\n", i, argv[i]);
      }
      SalvorWin32InitLog("SalvorWin32ServiceMain: Parsing options..\n");
      int err = SalvorWin32ParseOptions(argc, argv);
      if (err != 0) {
         SalvorWin32InitLog("Invalid options, or config data.\n");
         bool shape = err == SALVOR_OPTIONS_WRONG_SHAPE;
         SalvorServiceStopWithReason(
            shape ? "invalid start parameters; expected: -s <config.xml>"
                  : "the configuration was refused; run 'salvor debug -s <config.xml>' "
                    "to see why",
            shape ? SALVOR_SERVICE_FAILED_PARAMETERS : SALVOR_SERVICE_FAILED_CONFIG);
         refused = true;
      } else {
         SalvorWin32InitLog("SalvorWin32ServiceMain: Initializing logging..\n");
         SalvorWin32InitLogging();
      }
   }
   if (!refused) {
      if (!SalvorConfig.configLoaded) {
         SalvorServiceReportRunning();  // and straight on to stopping
      }
      SalvorWin32InitLog("Log file: %s\n", SalvorConfig.logFile);
      SalvorWin32InitLog("Port #: %d\n", SalvorConfig.port);
      SalvorWin32InitLog("Data dir: %s\n", SalvorConfig.dataDir);
      SalvorWin32InitLog("Verbose: %d\n", SalvorConfig.verbose);
      if (SalvorConfig.configLoaded) {
         SalvorWin32InitLog("Starting the main loop now... \n");
         SalvorServerLoop(SalvorServiceReportRunning);  // running once the socket is bound
      } else {
         SalvorWin32InitLog("No config file was specified, could not setup startup "
                            "parameters. Stopping...\n");
         std::string reason = std::string("no configuration file was given: ") +
                              SalvorScm_StartParametersHint();
         SalvorServiceStopWithReason(reason.c_str(), SALVOR_SERVICE_FAILED_NO_CONFIG);
      }
   }
   SalvorSetFatalObserver(nullptr);
   {
      std::lock_guard<std::mutex> guard(statusLock);
      SalvorConfig.serviceStatus.controlsAccepted &= ~SALVOR_ACCEPT_STOP_SHUTDOWN;
      SalvorServiceReportStatusLocked(SALVOR_STATE_STOP_PENDING);
   }
   SalvorServiceReportStatus(SALVOR_STATE_STOPPED);
}

bool
SalvorWin32ServiceControlHandler(uint32_t code)
{
   SalvorWin32InitLog("SalvorWin32ServiceControlHandler: Control code: %d\n", (int)code);
   if (code != SALVOR_CONTROL_STOP && code != SALVOR_CONTROL_SHUTDOWN &&
       code != SALVOR_CONTROL_INTERROGATE) {
      return false;
   }
   {
      // Under the lock, so that nothing is reported after "stopped": the
      // final stop may be under way on the service main's thread.
      std::lock_guard<std::mutex> guard(statusLock);
      uint32_t state = SalvorConfig.serviceStatus.currentState;
      if (code == SALVOR_CONTROL_INTERROGATE) {
         SalvorWin32InitLog("SalvorWin32ServiceControlHandler: Setting status to state: %d\n",
                            (int)state);
         if (state != SALVOR_STATE_STOPPED) {
            SalvorServiceSendStatusLocked();  // the record unchanged, its check point too
         }
         return true;
      }
      if (state == SALVOR_STATE_START_PENDING || state == SALVOR_STATE_RUNNING) {
         SalvorServiceReportStatusLocked(SALVOR_STATE_STOP_PENDING);
      }
   }
   SalvorServerRequestStop();
   return true;
}
