// The collector's command line: `debug -s <config.xml> [-d]` runs it in
// the foreground. Running under the service manager and registering the
// service are answered with a clear refusal until they exist.
#pragma once

// Exit statuses of refused starts.
constexpr int SALVOR_EXIT_CONFIG = 1;  // the configuration was refused
constexpr int SALVOR_EXIT_USAGE = 2;   // the command line has the wrong shape

int SalvorWin32_Main(int argc, char **argv);
// 0, 13 for a vector of the wrong shape, another code for a refused file.
int SalvorWin32ParseOptions(int argc, char **argv);
void SalvorWin32InitLogging();
