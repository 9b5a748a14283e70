// The service control manager's back end against the system's manager:
// the registration as the manager records it, a service that runs with
// its start parameters and stops on request, and the errno-style reasons
// the service host reads.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <windows.h>

#include "collector/platform/salvorScm.h"
#include "lib/misc/win32Text.h"
#include "tests/support/testPlatform.h"

namespace {

// Each test registers a service of its own name, as tests run in parallel.
constexpr const char *NAME = "salvor-scm-test";
constexpr const char *RUN_NAME = "salvor-scm-test-run";
const SalvorServiceIdentity IDENTITY = {NAME, "Salvor manager test",
                                        "Checks the manager's back end"};
const SalvorServiceIdentity RUN_IDENTITY = {RUN_NAME, "Salvor manager test (run)",
                                            "Checks the manager's back end"};

std::string
Narrow(const wchar_t *text)
{
   char *utf8 = Win32Text_ToUtf8(text);
   std::string out = utf8 != nullptr ? utf8 : "";
   std::free(utf8);
   return out;
}

// The helper service beside this test program.
std::string
HelperPath()
{
   wchar_t self[MAX_PATH + 1];
   GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
   std::string path = Narrow(self);
   return path.substr(0, path.find_last_of('\\') + 1) + "scm_test_service.exe";
}

constexpr const wchar_t *KEY = L"System\\CurrentControlSet\\Services\\salvor-scm-test";

std::wstring
RegText(const wchar_t *value)
{
   wchar_t buf[1024];
   DWORD size = sizeof buf;
   DWORD types = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
   if (RegGetValueW(HKEY_LOCAL_MACHINE, KEY, value, types,
                    nullptr, buf, &size) != ERROR_SUCCESS) {
      return L"<missing>";
   }
   return buf;
}

DWORD
RegNumber(const wchar_t *value)
{
   DWORD number = 0xFFFFFFFF, size = sizeof number;
   RegGetValueW(HKEY_LOCAL_MACHINE, KEY, value, RRF_RT_REG_DWORD, nullptr, &number, &size);
   return number;
}

// Each test starts and ends without the test services registered.
class ScmWin32 : public ::testing::Test {
protected:
   void SetUp() override { Remove(); }
   void TearDown() override { Remove(); }

   static void Remove()
   {
      Remove(IDENTITY.name);
      Remove(RUN_IDENTITY.name);
   }

   static void Remove(const char *name)
   {
      SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
      SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
      if (service != nullptr) {
         SERVICE_STATUS status;
         ControlService(service, SERVICE_CONTROL_STOP, &status);
         WaitForState(service, SERVICE_STOPPED);
         DeleteService(service);
         CloseServiceHandle(service);
      }
      CloseServiceHandle(manager);
   }

   static bool WaitForState(SC_HANDLE service, DWORD state)
   {
      for (int i = 0; i < 100; i++) {
         SERVICE_STATUS status;
         if (QueryServiceStatus(service, &status) && status.dwCurrentState == state) {
            return true;
         }
         std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      return false;
   }

   // Registers the helper through the back end.
   static void Install(const SalvorServiceIdentity &identity = IDENTITY)
   {
      SalvorScmHandle *manager = SalvorScm_OpenManager(true);
      ASSERT_NE(manager, nullptr) << SalvorScm_LastErrorText();
      SalvorScmHandle *service = SalvorScm_CreateService(manager, &identity, HelperPath().c_str());
      ASSERT_NE(service, nullptr) << SalvorScm_LastErrorText();
      EXPECT_TRUE(SalvorScm_SetDescription(service, identity.description));
      SalvorScm_CloseHandle(service);
      SalvorScm_CloseHandle(manager);
   }
};

TEST_F(ScmWin32, RegistrationAsTheManagerRecordsItAndItsRemoval)
{
   Install();
   EXPECT_EQ(Narrow(RegText(L"DisplayName").c_str()), IDENTITY.displayName);
   EXPECT_EQ(Narrow(RegText(L"Description").c_str()), IDENTITY.description);
   EXPECT_EQ(Narrow(RegText(L"ObjectName").c_str()), "LocalSystem");
   EXPECT_EQ(Narrow(RegText(L"ImagePath").c_str()), HelperPath());
   EXPECT_EQ(RegNumber(L"Start"), (DWORD)SERVICE_AUTO_START);
   EXPECT_EQ(RegNumber(L"Type"), (DWORD)SERVICE_WIN32_OWN_PROCESS);
   EXPECT_EQ(RegNumber(L"ErrorControl"), (DWORD)SERVICE_ERROR_IGNORE);

   SalvorScmHandle *manager = SalvorScm_OpenManager(true);
   ASSERT_NE(manager, nullptr);
   errno = 0;
   EXPECT_EQ(SalvorScm_CreateService(manager, &IDENTITY, "C:\\other.exe"), nullptr);
   EXPECT_EQ(errno, EEXIST);
   EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_EXISTS);
   EXPECT_NE(std::string(SalvorScm_LastErrorText()).find("registered already"), std::string::npos);

   SalvorScmHandle *service = SalvorScm_OpenService(manager, NAME);
   ASSERT_NE(service, nullptr) << SalvorScm_LastErrorText();
   bool packaged = true;
   EXPECT_NE(std::string(SalvorScm_ServiceLocation(service, &packaged)).find(NAME),
             std::string::npos);
   EXPECT_FALSE(packaged);
   uint32_t state = 0;
   ASSERT_TRUE(SalvorScm_QueryState(service, &state));
   EXPECT_EQ(state, SALVOR_STATE_STOPPED);
   EXPECT_TRUE(SalvorScm_DeleteService(service)) << SalvorScm_LastErrorText();
   SalvorScm_CloseHandle(service);

   errno = 0;
   EXPECT_EQ(SalvorScm_OpenService(manager, NAME), nullptr);
   EXPECT_EQ(errno, ENOENT);
   SalvorScm_CloseHandle(manager);
}

TEST_F(ScmWin32, RegistrationRestartsTheServiceAfterAFailure)
{
   SalvorScmHandle *manager = SalvorScm_OpenManager(true);
   ASSERT_NE(manager, nullptr) << SalvorScm_LastErrorText();
   SalvorScmHandle *service = SalvorScm_CreateService(manager, &IDENTITY, HelperPath().c_str());
   ASSERT_NE(service, nullptr) << SalvorScm_LastErrorText();
   bool set = SalvorScm_SetRestartOnFailure(service, 5000);
   DWORD err = GetLastError();
   SalvorScm_CloseHandle(service);
   SalvorScm_CloseHandle(manager);
   if (!set && err == ERROR_INVALID_LEVEL && TestUnderWine()) {
      GTEST_SKIP() << "Wine's manager keeps no failure actions";
   }
   ASSERT_TRUE(set) << SalvorScm_LastErrorText();

   SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
   SC_HANDLE raw = OpenServiceA(scm, NAME, SERVICE_QUERY_CONFIG);
   ASSERT_NE(raw, nullptr);
   BYTE buf[1024];
   DWORD needed = 0;
   ASSERT_TRUE(QueryServiceConfig2W(raw, SERVICE_CONFIG_FAILURE_ACTIONS, buf, sizeof buf, &needed))
      << GetLastError();
   auto *actions = reinterpret_cast<SERVICE_FAILURE_ACTIONSW *>(buf);
   ASSERT_GE(actions->cActions, 1u);
   for (DWORD i = 0; i < actions->cActions; i++) {
      EXPECT_EQ(actions->lpsaActions[i].Type, SC_ACTION_RESTART);
      EXPECT_EQ(actions->lpsaActions[i].Delay, 5000u);
   }
   // A stop reported with an exit code counts as a failure too.
   SERVICE_FAILURE_ACTIONS_FLAG flag = {FALSE};
   if (QueryServiceConfig2W(raw, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                            reinterpret_cast<BYTE *>(&flag), sizeof flag, &needed)) {
      EXPECT_TRUE(flag.fFailureActionsOnNonCrashFailures);
   } else {
      EXPECT_EQ(RegNumber(L"FailureActionsOnNonCrashFailures"), 1u);
   }
   CloseServiceHandle(raw);
   CloseServiceHandle(scm);
}

TEST(ScmWin32Console, AProgramThatUsersCanReplaceIsRefusedWithTheReason)
{
   // A folder made by this process: owned by its user, as one made by
   // any user would be.
   char tmp[MAX_PATH];
   GetTempPathA(sizeof tmp, tmp);
   std::string dir = std::string(tmp) + "salvor-scm-unprotected";
   CreateDirectoryA(dir.c_str(), nullptr);
   std::string program = dir + "\\salvor.exe";
   CloseHandle(CreateFileA(program.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
   errno = 0;
   EXPECT_FALSE(SalvorScm_ProgramIsProtected(program.c_str()));
   EXPECT_EQ(errno, EACCES);
   std::string why = SalvorScm_LastErrorText();
   EXPECT_NE(why.find(program + " can be changed by users who are not administrators"),
             std::string::npos) << why;
   EXPECT_NE(why.find("%ProgramFiles%"), std::string::npos) << why;
   DeleteFileA(program.c_str());
   RemoveDirectoryA(dir.c_str());
}

TEST(ScmWin32Console, LogSourceIsRegisteredWithTheLibraryBesideTheProgram)
{
   const wchar_t *sourceKey =
      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\salvor-scm-test-install";
   ASSERT_TRUE(SalvorScm_RegisterLogSource("salvor-scm-test-install",
                                           "C:\\Program Files\\salvor\\salvor.exe"))
      << SalvorScm_LastErrorText();
   wchar_t file[512];
   DWORD size = sizeof file;
   DWORD types = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
   ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, sourceKey, L"EventMessageFile", types, nullptr,
                          file, &size),
             ERROR_SUCCESS);
   EXPECT_STREQ(file, L"C:\\Program Files\\salvor\\salvorEventMessages.dll");
   // Made to last: a key that is not volatile may hold one that is not
   // (when the log's own key is not volatile, as Wine's may be).
   auto persistentChild = [](const std::wstring &parent) {
      HKEY sub = nullptr;
      std::wstring probe = parent + L"\\salvor-probe";
      LONG err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, probe.c_str(), 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, &sub, nullptr);
      RegCloseKey(sub);
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, probe.c_str());
      return err == ERROR_SUCCESS;
   };
   std::wstring logKey(sourceKey);
   if (persistentChild(logKey.substr(0, logKey.find_last_of(L'\\')))) {
      EXPECT_TRUE(persistentChild(logKey));
   }
   RegDeleteKeyW(HKEY_LOCAL_MACHINE, sourceKey);
}

TEST_F(ScmWin32, ServiceRunsWithItsStartParametersAndStopsOnRequest)
{
   Install(RUN_IDENTITY);
   char tmp[MAX_PATH];
   GetTempPathA(sizeof tmp, tmp);
   std::string record = std::string(tmp) + "salvor-scm-test.txt";
   DeleteFileA(record.c_str());

   SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
   SC_HANDLE raw = OpenServiceA(manager, RUN_NAME, SERVICE_ALL_ACCESS);
   ASSERT_NE(raw, nullptr);
   const char *params[] = {"-s", record.c_str()};
   ASSERT_TRUE(StartServiceA(raw, 2, params)) << GetLastError();
   ASSERT_TRUE(WaitForState(raw, SERVICE_RUNNING));

   SalvorScmHandle *scm = SalvorScm_OpenManager(false);
   SalvorScmHandle *service = SalvorScm_OpenService(scm, RUN_NAME);
   ASSERT_NE(service, nullptr);
   uint32_t state = 0;
   ASSERT_TRUE(SalvorScm_QueryState(service, &state));
   EXPECT_EQ(state, SALVOR_STATE_RUNNING);

   SERVICE_STATUS status;
   EXPECT_TRUE(ControlService(raw, SERVICE_CONTROL_INTERROGATE, &status));
   EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_RUNNING);
   // A control the service does not implement is refused as such (Wine's
   // manager answers every control delivered with success).
   BOOL answered = ControlService(raw, 200, &status);
   if (!TestUnderWine()) {
      EXPECT_FALSE(answered);
      EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
   }
   EXPECT_TRUE(ControlService(raw, SERVICE_CONTROL_STOP, &status));
   EXPECT_TRUE(WaitForState(raw, SERVICE_STOPPED));
   ASSERT_TRUE(SalvorScm_QueryState(service, &state));
   EXPECT_EQ(state, SALVOR_STATE_STOPPED);
   SalvorScm_CloseHandle(service);
   SalvorScm_CloseHandle(scm);
   CloseServiceHandle(raw);
   CloseServiceHandle(manager);

   std::ifstream in(record);
   std::stringstream text;
   text << in.rdbuf();
   // The service's name, then the start parameters; the controls in order.
   EXPECT_EQ(text.str(), std::string("arg ") + RUN_NAME + "\narg -s\narg " + record +
                            "\ncontrol 4\ncontrol 200\ncontrol 1\n");
   DeleteFileA(record.c_str());
}

TEST(ScmWin32Console, DispatcherReturnsAtOnceOutsideTheManager)
{
   EXPECT_FALSE(SalvorScm_StartDispatcher(NAME, [](int, char **) {}));
   EXPECT_EQ(GetLastError(), (DWORD)ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

// Why a service could not run goes to the Application log under the
// service's name, registered with the message library that shows it.
TEST(ScmWin32Console, ReportedErrorRegistersTheSourceWithTheMessageLibrary)
{
   const wchar_t *sourceKey =
      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\salvor-scm-test";
   RegDeleteKeyW(HKEY_LOCAL_MACHINE, sourceKey);
   SalvorScm_StartDispatcher(NAME, [](int, char **) {});  // names the source
   SalvorScm_ReportError("invalid start parameters");
   wchar_t file[512];
   DWORD size = sizeof file;
   LONG err = RegGetValueW(HKEY_LOCAL_MACHINE, sourceKey, L"EventMessageFile",
                           RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file,
                           &size);
   ASSERT_EQ(err, ERROR_SUCCESS);
   std::wstring name(file);
   EXPECT_EQ(name.substr(name.find_last_of(L"\\/") + 1), L"salvorEventMessages.dll");
   EXPECT_NE(name.find_last_of(L"\\/"), std::wstring::npos) << "a full path";
   RegDeleteKeyW(HKEY_LOCAL_MACHINE, sourceKey);
}

}  // namespace
