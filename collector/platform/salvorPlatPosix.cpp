// POSIX back end of the collector's process limits; see salvorPlat.h.
#include "collector/platform/salvorPlat.h"
#include "collector/platform/salvorPlatPosixSignals.h"

#include <cerrno>
#include <csignal>
#include <fstream>
#include <string>
#include <sys/resource.h>

#include "lib/misc/utilScoped.h"

bool
SalvorPlat_RaiseOpenFileLimit(uint64_t wanted, uint64_t *limit)
{
   rlimit lim;
   if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
      *limit = 0;
      return false;
   }
   if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < wanted) {
      // Up to the hard limit: descriptors cost little, and a soft limit
      // below the slot count would refuse dumps while slots are free.
      rlimit raised = lim;
      raised.rlim_cur = lim.rlim_max;
      if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
         lim = raised;
      }
   }
   *limit = lim.rlim_cur == RLIM_INFINITY ? UINT64_MAX : (uint64_t)lim.rlim_cur;
   return *limit >= wanted;
}

void
SalvorPlat_IgnoreBrokenPipe()
{
   std::signal(SIGPIPE, SIG_IGN);
}

namespace {

// Each signal's callback; set before its handler is installed.
void (*signalCallbacks[NSIG])() = {};

void
SalvorPlatPosixSignal(int sig)
{
   UtilSavedError saved;  // the interrupted code may be about to read it
   signalCallbacks[sig]();
}

}  // namespace

void
SalvorPlatPosix_OnSignals(const int *signals, int count, int flags, void (*onSignal)())
{
   struct sigaction action{};
   action.sa_handler = SalvorPlatPosixSignal;
   sigemptyset(&action.sa_mask);
   action.sa_flags = flags;
   for (int i = 0; i < count; i++) {
      signalCallbacks[signals[i]] = onSignal;
      sigaction(signals[i], &action, nullptr);
   }
}

void
SalvorPlat_OnStopRequest(void (*onStop)())
{
   // The handler is for the first request only: a second one ends the
   // process, should the stop itself hang.
   const int stopSignals[] = {SIGINT, SIGTERM};
   SalvorPlatPosix_OnSignals(stopSignals, 2, SA_RESETHAND | SA_RESTART, onStop);
}

namespace {

bool
SalvorPlatDebuggerAttached()
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

}  // namespace

void
SalvorPlat_DebugBreak()
{
   if (SalvorPlatDebuggerAttached()) {
      std::raise(SIGTRAP);
   }
}

std::FILE *
SalvorPlat_OpenTextAppend(const char *path)
{
   return std::fopen(path, "a+");
}
