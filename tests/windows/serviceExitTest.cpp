// The collector as a service of the system's manager, stopping on its own:
// the final status carries why (a service-specific exit code), so that the
// manager records the failure and runs its recovery.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/testFiles.h"
#include "tests/support/testWide.h"

namespace {

constexpr const wchar_t *NAME = L"salvor-exit-test";

class ServiceExit : public testing::Test {
protected:
   void SetUp() override
   {
      manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
      ASSERT_NE(manager_, nullptr) << GetLastError();
      Remove();
      std::wstring command = L"\"" + testutil::Wide(SALVOR_BINARY) + L"\"";
      service_ = CreateServiceW(manager_, NAME, NAME, SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                SERVICE_ERROR_IGNORE, command.c_str(), nullptr, nullptr, nullptr,
                                nullptr, nullptr);
      ASSERT_NE(service_, nullptr) << GetLastError();
   }
   void TearDown() override
   {
      Remove();
      CloseServiceHandle(manager_);
   }
   void Remove()
   {
      if (service_ == nullptr) {
         service_ = OpenServiceW(manager_, NAME, SERVICE_ALL_ACCESS);
      }
      if (service_ != nullptr) {
         SERVICE_STATUS status;
         ControlService(service_, SERVICE_CONTROL_STOP, &status);
         Stopped();
         DeleteService(service_);
         CloseServiceHandle(service_);
         service_ = nullptr;
      }
   }
   // The status once the service has stopped.
   SERVICE_STATUS Stopped()
   {
      SERVICE_STATUS status = {};
      for (int i = 0; i < 200; i++) {
         if (!QueryServiceStatus(service_, &status) || status.dwCurrentState == SERVICE_STOPPED) {
            break;
         }
         Sleep(50);
      }
      return status;
   }
   SERVICE_STATUS RunWith(std::vector<std::string> params)
   {
      std::vector<std::wstring> wide;
      for (const std::string &p : params) {
         wide.push_back(testutil::Wide(p));
      }
      std::vector<const wchar_t *> args;
      for (const std::wstring &w : wide) {
         args.push_back(w.c_str());
      }
      EXPECT_TRUE(StartServiceW(service_, (DWORD)args.size(), args.data())) << GetLastError();
      return Stopped();
   }

   SC_HANDLE manager_ = nullptr;
   SC_HANDLE service_ = nullptr;
};

TEST_F(ServiceExit, AStopOnItsOwnFailureReportsWhyAsAServiceSpecificCode)
{
   testutil::TempDir dir;
   const struct {
      std::vector<std::string> params;
      DWORD code;
   } runs[] = {
      {{"-s", dir / "missing.xml"}, 1},  // the configuration was refused
      {{"-x", "y"}, 2},                  // start parameters of the wrong shape
      {{}, 3},                           // no configuration
   };
   for (const auto &run : runs) {
      SERVICE_STATUS status = RunWith(run.params);
      EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOPPED);
      EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_SERVICE_SPECIFIC_ERROR) << run.code;
      EXPECT_EQ(status.dwServiceSpecificExitCode, run.code);
   }
}

}  // namespace
