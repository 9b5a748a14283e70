// Win32 back end of the collector's process limits; see salvorPlat.h.
#include "collector/platform/salvorPlat.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <windows.h>

#include "lib/misc/win32Text.h"

namespace {

// What the C runtime's stream table can be raised to; handles of the
// system itself have no per-process limit worth the name.
constexpr int SALVOR_CRT_MAX_STREAMS = 8192;

void (*stopCallback)() = nullptr;
LONG stopRequests = 0;

BOOL WINAPI
SalvorPlatConsoleControl(DWORD event)
{
   if (InterlockedIncrement(&stopRequests) > 1) {
      return FALSE;  // the system's handler ends the process
   }
   stopCallback();
   if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT ||
       event == CTRL_SHUTDOWN_EVENT) {
      // The process ends as soon as this returns: give the loop the few
      // seconds the system allows to stop cleanly. Its return from main
      // ends the process, and this thread with it.
      Sleep(5000);
   }
   return TRUE;
}

}  // namespace

bool
SalvorPlat_RaiseOpenFileLimit(uint64_t wanted, uint64_t *limit)
{
   // Dump files are system handles, not runtime descriptors, so only the
   // runtime's streams (the init log, the log) count against a limit:
   // raise it as far as it goes and report the system's as in force.
   if (_getmaxstdio() < SALVOR_CRT_MAX_STREAMS) {
      _setmaxstdio(SALVOR_CRT_MAX_STREAMS);
   }
   *limit = UINT64_MAX;
   return *limit >= wanted;
}

void
SalvorPlat_IgnoreBrokenPipe()
{
   // A write to a pipe without a reader fails with an error on Windows;
   // there is no signal to ignore.
}

void
SalvorPlat_OnStopRequest(void (*onStop)())
{
   stopCallback = onStop;
   SetConsoleCtrlHandler(SalvorPlatConsoleControl, TRUE);
}

void
SalvorPlat_DebugBreak()
{
   if (IsDebuggerPresent()) {
      DebugBreak();
   }
}

std::FILE *
SalvorPlat_OpenTextAppend(const char *path)
{
   wchar_t *wide = Win32Text_ToUtf16(path);
   if (wide == nullptr) {
      errno = EINVAL;
      return nullptr;
   }
   std::FILE *f = _wfopen(wide, L"a+");
   std::free(wide);
   return f;
}
