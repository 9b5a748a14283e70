// The operations tests' platform back end on Windows: the collector as a
// service of the system's service control manager, registered under a
// name of this test process's own (tests run in parallel) with "-s" and
// the configuration on its command line, and removed at the end.
#include "tests/collector/opsPlatform.h"

#include <cstdlib>
#include <windows.h>

#include "tests/support/testFiles.h"
#include "tests/support/testWide.h"

namespace testutil {

namespace {

std::wstring
FullPath(const std::string &path)
{
   wchar_t buf[MAX_PATH * 4];
   DWORD n = GetFullPathNameW(Wide(path).c_str(), MAX_PATH * 4, buf, nullptr);
   return n > 0 && n < MAX_PATH * 4 ? std::wstring(buf, n) : Wide(path);
}

bool
WaitForState(SC_HANDLE service, DWORD state, SERVICE_STATUS_PROCESS *status)
{
   for (int i = 0; i < 400; i++) {
      DWORD needed = 0;
      if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE *>(status), sizeof *status, &needed)) {
         return false;
      }
      if (status->dwCurrentState == state ||
          (state == SERVICE_RUNNING && status->dwCurrentState == SERVICE_STOPPED)) {
         return status->dwCurrentState == state;
      }
      Sleep(50);
   }
   return false;
}

}  // namespace

struct ServiceCollector::State {
   SC_HANDLE manager = nullptr;
   SC_HANDLE service = nullptr;
   HANDLE process = nullptr;
};

ServiceCollector::ServiceCollector(const std::string &binary, const std::string &config,
                                   const std::string &dir)
   : state_(std::make_unique<State>())
{
   (void)dir;  // a service has no console
   state_->manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT |
                                                         SC_MANAGER_CREATE_SERVICE);
   if (state_->manager == nullptr) {
      failure_ = "cannot register a service (error " + std::to_string(GetLastError()) + ")";
      return;
   }
   std::wstring name = L"salvor-ops-test-" + std::to_wstring(GetCurrentProcessId());
   SC_HANDLE old = OpenServiceW(state_->manager, name.c_str(), DELETE);
   if (old != nullptr) {  // left by a test that was killed
      DeleteService(old);
      CloseServiceHandle(old);
   }
   std::wstring command = L"\"" + FullPath(binary) + L"\" -s \"" + FullPath(config) + L"\"";
   state_->service = CreateServiceW(state_->manager, name.c_str(), name.c_str(),
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr);
   SERVICE_STATUS_PROCESS status{};
   if (state_->service == nullptr || !StartServiceW(state_->service, 0, nullptr) ||
       !WaitForState(state_->service, SERVICE_RUNNING, &status)) {
      failure_ = "the service did not start (error " + std::to_string(GetLastError()) +
                 ", state " + std::to_string(status.dwCurrentState) + ")";
      return;
   }
   state_->process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION |
                                    PROCESS_TERMINATE, FALSE, status.dwProcessId);
}

ServiceCollector::~ServiceCollector()
{
   if (state_->process != nullptr && Running()) {
      SERVICE_STATUS status;
      ControlService(state_->service, SERVICE_CONTROL_STOP, &status);
      if (WaitForSingleObject(state_->process, 5000) != WAIT_OBJECT_0) {
         TerminateProcess(state_->process, 1);
         WaitForSingleObject(state_->process, 5000);
      }
   }
   if (state_->process != nullptr) {
      CloseHandle(state_->process);
   }
   if (state_->service != nullptr) {
      DeleteService(state_->service);
      CloseServiceHandle(state_->service);
   }
   if (state_->manager != nullptr) {
      CloseServiceHandle(state_->manager);
   }
}

bool
ServiceCollector::Running()
{
   return state_->process != nullptr && WaitForSingleObject(state_->process, 0) == WAIT_TIMEOUT;
}

int
ServiceCollector::Stop()
{
   SERVICE_STATUS status;
   if (state_->process == nullptr ||
       !ControlService(state_->service, SERVICE_CONTROL_STOP, &status) ||
       WaitForSingleObject(state_->process, 20000) != WAIT_OBJECT_0) {
      return -1;
   }
   DWORD code = 0;
   return GetExitCodeProcess(state_->process, &code) ? (int)code : -1;
}

bool
AskForegroundStop(Process &process, bool interrupt)
{
   (void)process;
   (void)interrupt;
   return false;
}

std::string
LinkLocalAddress()
{
   return "";  // Wine's interfaces are the host's; the Linux run binds one
}

bool
ProcessGone(long pid)
{
   HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)pid);
   if (process == nullptr) {
      return true;
   }
   bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
   CloseHandle(process);
   return ended;
}

void
EndProcess(long pid)
{
   HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, (DWORD)pid);
   if (process != nullptr) {
      TerminateProcess(process, 1);
      CloseHandle(process);
   }
}

std::string
WriteHook(const std::string &dir, const std::string &base, const std::string &sh,
          const std::string &cmd)
{
   (void)sh;
   std::string path = dir + "\\" + base + ".cmd";
   std::string text = "@echo off\r\n";
   for (char c : cmd) {
      text += c == '\n' ? std::string("\r\n") : std::string(1, c);
   }
   WriteFile(path, text);
   return path;
}

}  // namespace testutil
