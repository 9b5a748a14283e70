// The collector as a service: registering and removing it with the service
// manager, the hand-over to the manager's dispatcher, the service main that
// runs the server loop, the control handler, and the state reports.
#pragma once

#include <cstdint>

#include "collector/platform/salvorScmTypes.h"

constexpr const char *SALVOR_SERVICE_NAME = "quillon-network-coredump";
constexpr const char *SALVOR_SERVICE_DISPLAY_NAME = "Quillon Orvex dump collector";
constexpr const char *SALVOR_SERVICE_DESCRIPTION =
   "Enables support for collecting core dumps from remote hosts";

/*
 * Register and remove the service. 0 on success, else an errno-style code,
 * with the reason on standard error: a failure must not read as success.
 */
int SalvorWin32InstallService();
int SalvorWin32UninstallService();

// Hands the thread to the service manager's dispatcher; false at once when
// the process was not started by the manager.
bool SalvorWin32RunService();
void SalvorWin32ServiceMain(int argc, char **argv);
// False for a control the service does not implement.
bool SalvorWin32ServiceControlHandler(uint32_t code);

/*
 * Why the service stopped on its own, as the service-specific exit code
 * of its final status (the manager records the failure and runs its
 * recovery); a requested stop reports 0.
 */
enum : uint32_t {
   SALVOR_SERVICE_FAILED_CONFIG = 1,      // the configuration was refused
   SALVOR_SERVICE_FAILED_PARAMETERS = 2,  // start parameters of the wrong shape
   SALVOR_SERVICE_FAILED_NO_CONFIG = 3,   // no configuration was given
   SALVOR_SERVICE_FAILED_START = 4,       // a fatal start: the log, the socket
};

/*
 * Moves the status record to `state`. The check point counts the reports
 * of one pending state (1, 2, ...), so that the manager sees progress, and
 * is 0 otherwise; the stopped state carries `failure` as its exit codes.
 */
void SalvorServiceStatusMove(SalvorServiceStatus *status, uint32_t state, uint32_t failure);

/*
 * How the last service run ended, for the process's exit status: whether
 * the service reached running, and whether it stopped on request.
 */
struct SalvorServiceOutcome {
   bool reachedRunning;
   bool failed;       // refused or missing configuration, or no handler
   uint32_t failure;  // SALVOR_SERVICE_FAILED_*, 0 when none
};
const SalvorServiceOutcome &SalvorServiceLastOutcome();
void SalvorServiceResetOutcome();
