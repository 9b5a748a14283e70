// The collector's command line: `-s <config.xml>` runs it under the
// service manager (the Windows service control manager, or systemd on
// Linux), `debug -s <config.xml> [-d]` in the foreground, and `install` /
// `uninstall` register and remove the service (salvorService.h).
#pragma once

#include "collector/service/salvorOptions.h"

// Exit statuses of refused starts.
constexpr int SALVOR_EXIT_CONFIG = 1;  // the configuration was refused
constexpr int SALVOR_EXIT_USAGE = 2;   // the command line has the wrong shape
constexpr int SALVOR_EXIT_NOT_A_SERVICE = 255;  // -1: started from a console, not as a service

int SalvorWin32_Main(int argc, char **argv);
