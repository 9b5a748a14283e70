// The collector's command line: `debug -s <config.xml> [-d]` runs it in
// the foreground. Running under the service manager and registering the
// service are answered with a clear refusal until they exist.
#pragma once

#include "collector/service/salvorOptions.h"

// Exit statuses of refused starts.
constexpr int SALVOR_EXIT_CONFIG = 1;  // the configuration was refused
constexpr int SALVOR_EXIT_USAGE = 2;   // the command line has the wrong shape
constexpr int SALVOR_EXIT_NOT_A_SERVICE = 255;  // -1: started from a console, not as a service

int SalvorWin32_Main(int argc, char **argv);
