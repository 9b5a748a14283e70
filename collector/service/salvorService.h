// The collector as a service: registering and removing it with the service
// manager, the hand-over to the manager's dispatcher, the service main that
// runs the server loop, the control handler, and the state reports.
#pragma once

#include <cstdint>

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
void SalvorWin32ServiceControlHandler(uint32_t code);

/*
 * How the last service run ended, for the process's exit status: whether
 * the service reached running, and whether it stopped on request.
 */
struct SalvorServiceOutcome {
   bool reachedRunning;
   bool failed;  // refused or missing configuration, or no handler
};
const SalvorServiceOutcome &SalvorServiceLastOutcome();
void SalvorServiceResetOutcome();
