// What the command line and the service host share: reading the options
// and the configuration they name, and starting the log.
#pragma once

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
