// A service of the tests of the service control manager's back end: runs
// under the manager through salvorScm.h, writes the words it was started
// with and the control codes it received to the file named by its last
// start parameter, and stops on the stop control.
#include <cstdio>
#include <string>
#include <windows.h>

#include "collector/platform/salvorScm.h"
#include "lib/coreDump/fatalPath.h"

namespace {

// The name of the dispatcher table; the manager gives the registered one.
constexpr const char *NAME = "salvor-scm-test";
HANDLE stopEvent;
void *statusHandle;
SalvorServiceStatus status = {0x30, SALVOR_STATE_STOPPED, 0, 0, 0, 0, 6000};
std::string record;
std::string recordPath;

void
Report(uint32_t state)
{
   status.currentState = state;
   SalvorScm_SetStatus(statusHandle, &status, nullptr);
}

void
Save()
{
   if (FILE *f = std::fopen(recordPath.c_str(), "wb")) {
      std::fputs(record.c_str(), f);
      std::fclose(f);
   }
}

// Stop and interrogate are implemented; any other control is not.
bool
Handler(uint32_t code)
{
   record += "control " + std::to_string(code) + "\n";
   if (code == SALVOR_CONTROL_STOP) {
      Report(SALVOR_STATE_STOP_PENDING);
      SetEvent(stopEvent);
      return true;
   }
   return code == SALVOR_CONTROL_INTERROGATE;
}

void
ServiceMain(int argc, char **argv)
{
   statusHandle = SalvorScm_RegisterControlHandler(argv[0], Handler);
   if (statusHandle == nullptr) {
      return;
   }
   Report(SALVOR_STATE_START_PENDING);
   for (int i = 0; i < argc; i++) {
      record += std::string("arg ") + argv[i] + "\n";
   }
   recordPath = argc > 1 ? argv[argc - 1] : "";
   Save();
   status.controlsAccepted = SALVOR_ACCEPT_STOP_SHUTDOWN;
   Report(SALVOR_STATE_RUNNING);
   WaitForSingleObject(stopEvent, 60000);
   Save();
   status.controlsAccepted = 0;
   Report(SALVOR_STATE_STOPPED);
}

}  // namespace

int
main()
{
   // First of all, so that a panic leaves its evidence from the start.
   CoreDump_InstallPanicHandler();
   stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
   return SalvorScm_StartDispatcher(NAME, ServiceMain) ? 0 : 3;
}
