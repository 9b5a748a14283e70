// The collector's command line: `debug -s <config.xml> [-d]` runs it in
// the foreground. Running under the service manager and registering the
// service are answered with a clear refusal until they exist.
#pragma once

// Exit statuses of refused starts.
constexpr int SALVOR_EXIT_CONFIG = 1;  // the configuration was refused
constexpr int SALVOR_EXIT_USAGE = 2;   // the command line has the wrong shape
constexpr int SALVOR_EXIT_NOT_A_SERVICE = 255;  // -1: started from a console, not as a service

int SalvorWin32_Main(int argc, char **argv);
// Results of SalvorWin32ParseOptions besides 0.
constexpr int SALVOR_OPTIONS_WRONG_SHAPE = 13;
constexpr int SALVOR_OPTIONS_CONFIG_REFUSED = -1;

/*
 * Checks a vector of the form name, "-s", path [, "-d"] and reads the
 * configuration: 0, SALVOR_OPTIONS_WRONG_SHAPE or
 * SALVOR_OPTIONS_CONFIG_REFUSED.
 */
int SalvorWin32ParseOptions(int argc, char **argv);
void SalvorWin32InitLogging();
