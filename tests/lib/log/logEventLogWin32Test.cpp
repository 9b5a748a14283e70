// The event log as the system logger on Windows: a source without a usable
// registration is registered before it is opened, naming the full path of
// the message library (in the product's installation directory, else
// beside the program); a registration naming a library that exists is
// kept; the source opens even when it may not be registered. The library
// built beside the program turns each reported line back into its text,
// as the event viewer does. The tests name a product of their own, so the
// keys they write are never the installed product's.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <string>

#include "lib/log/logPlatform.h"
#include "lib/misc/platFault.h"
#include "lib/misc/productState.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/w32Util.h"
#include "lib/misc/win32Text.h"

namespace {

const char TEST_PRODUCT[] = "salvor event log test product";

const wchar_t SOURCE_KEY[] =
   L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\salvor-test-source";

std::wstring
ProductKey()
{
   std::string name = ProductState_GetName();
   return L"SOFTWARE\\Quillon, Inc.\\" + std::wstring(name.begin(), name.end());
}

void
SetInstallPath(const wchar_t *value)
{
   if (value == nullptr) {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, ProductKey().c_str(), L"InstallPath");
      return;
   }
   ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, ProductKey().c_str(), L"InstallPath", REG_SZ,
                             value, (DWORD)((wcslen(value) + 1) * sizeof(wchar_t))),
             ERROR_SUCCESS);
}

std::wstring
RegisteredMessageFile()
{
   wchar_t buf[512];
   DWORD size = sizeof buf;
   LONG err = RegGetValueW(HKEY_LOCAL_MACHINE, SOURCE_KEY, L"EventMessageFile",
                           RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, buf,
                           &size);
   return err == ERROR_SUCCESS ? buf : L"<none>";
}

std::wstring
Wide(const std::string &s)
{
   return std::wstring(s.begin(), s.end());
}

// The directory of this test program, with its final separator.
std::wstring
OwnDirectory()
{
   wchar_t self[MAX_PATH + 1];
   DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
   std::wstring path(self, n);
   return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// Each test starts without the source's registration, as the test product.
class EventLogWin32 : public testing::Test {
protected:
   void SetUp() override
   {
      ProductState_SetName(TEST_PRODUCT);
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, SOURCE_KEY);
      SetInstallPath(nullptr);
   }
   void TearDown() override
   {
      PlatFault_Clear();
      SetInstallPath(nullptr);
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, ProductKey().c_str());
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, SOURCE_KEY);
   }
};

// What the event viewer shows for an event `id` of a source whose message
// library is `library`, reported with the one string `line`.
std::wstring
EventText(const std::wstring &library, DWORD id, const wchar_t *line)
{
   HMODULE module = LoadLibraryExW(library.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
   if (module == nullptr) {
      return L"<cannot load: error " + std::to_wstring(GetLastError()) + L">";
   }
   DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(line)};
   wchar_t *text = nullptr;
   DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                    FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                 module, id, 0, reinterpret_cast<wchar_t *>(&text), 0,
                                 reinterpret_cast<va_list *>(args));
   std::wstring result = length == 0
      ? L"<no message: error " + std::to_wstring(GetLastError()) + L">"
      : std::wstring(text, length);
   LocalFree(text);
   FreeLibrary(module);
   return result;
}

TEST_F(EventLogWin32, OpeningRegistersTheSourceWithItsTypesAndMessageLibrary)
{
   SetInstallPath(L"C:\\salvor\\");
   void *handle = LogPlat_SysOpen("salvor-test-source");
   ASSERT_NE(handle, nullptr);
   LogPlat_SysReport(handle, EVENTLOG_INFORMATION_TYPE, 120, "I120: a line for the event log");
   LogPlat_SysClose(handle);

   DWORD types = 0, size = sizeof types;
   ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, SOURCE_KEY, L"TypesSupported", RRF_RT_REG_DWORD,
                          nullptr, &types, &size),
             ERROR_SUCCESS);
   EXPECT_EQ(types, 7u);
   EXPECT_EQ(RegisteredMessageFile(), L"C:\\salvor\\salvorEventMessages.dll");
}

TEST_F(EventLogWin32, WithoutAnInstallPathTheLibraryBesideTheProgramIsRegistered)
{
   SetInstallPath(L"C:\\salvor");
   EXPECT_EQ(W32Util_InstallPath(), "");
   SetInstallPath(L"D:/tools/");
   EXPECT_EQ(W32Util_InstallPath(), "D:/tools/");
   SetInstallPath(nullptr);
   EXPECT_EQ(W32Util_InstallPath(), "");

   void *handle = LogPlat_SysOpen("salvor-test-source");
   ASSERT_NE(handle, nullptr);
   LogPlat_SysClose(handle);
   // A full path: a bare name is looked for where the viewer runs.
   EXPECT_EQ(RegisteredMessageFile(), OwnDirectory() + L"salvorEventMessages.dll");
}

TEST_F(EventLogWin32, ARegistrationNamingALibraryThatExistsIsLeftAlone)
{
   // Any file that exists stands for an installer's library.
   wchar_t self[MAX_PATH + 1];
   std::wstring installed(self, GetModuleFileNameW(nullptr, self, MAX_PATH + 1));
   UtilHeapPtr<char> installedUtf8(Win32Text_ToUtf8(installed.c_str()));
   ASSERT_TRUE(W32Util_RegisterEventLog("salvor-test-source", installedUtf8.get()));
   SetInstallPath(L"C:\\elsewhere\\");
   void *handle = LogPlat_SysOpen("salvor-test-source");
   ASSERT_NE(handle, nullptr);
   LogPlat_SysClose(handle);
   EXPECT_EQ(RegisteredMessageFile(), installed);

   // One naming a library that is gone is made again.
   ASSERT_TRUE(
      W32Util_RegisterEventLog("salvor-test-source", "C:\\gone\\salvorEventMessages.dll"));
   handle = LogPlat_SysOpen("salvor-test-source");
   ASSERT_NE(handle, nullptr);
   LogPlat_SysClose(handle);
   EXPECT_EQ(RegisteredMessageFile(), L"C:\\elsewhere\\salvorEventMessages.dll");
}

TEST_F(EventLogWin32, TheSourceOpensWhenItMayNotBeRegistered)
{
   // A user who is not an administrator may not write the key.
   PlatFault_Inject(PLAT_REGISTRY, EACCES, 0, -1);
   void *handle = LogPlat_SysOpen("salvor-test-source");
   EXPECT_NE(handle, nullptr);
   if (handle != nullptr) {
      LogPlat_SysReport(handle, EVENTLOG_ERROR_TYPE, 0, "E: logged all the same");
      LogPlat_SysClose(handle);
   }
   EXPECT_EQ(RegisteredMessageFile(), L"<none>");
}

TEST(EventMessageLibrary, ReportedEventShowsTheLineExactlyAsLogged)
{
   const std::wstring library = Wide(LOG_EVENT_MESSAGES_DLL);
   EXPECT_EQ(EventText(library, 1000, L"a log line"), L"a log line");
   // A whole line as the log reports it: its own line break, and percent
   // signs that are the line's text, not the message's inserts.
   const wchar_t *line = L"2026-12-08T11:30:17.123+01:00| salvor| I120: 100% of %1 sent%n\n";
   EXPECT_EQ(EventText(library, 1000, line), line);
}

TEST_F(EventLogWin32, RegisteredMessageFileIsTheBuiltLibrary)
{
   // The installation directory is the one the library was built in; the
   // name that the registration adds must be the library's.
   std::string built = LOG_EVENT_MESSAGES_DLL;
   std::string dir = built.substr(0, built.find_last_of("/\\") + 1);
   SetInstallPath(Wide(dir).c_str());
   void *handle = LogPlat_SysOpen("salvor-test-source");
   ASSERT_NE(handle, nullptr);
   LogPlat_SysClose(handle);

   std::wstring registered = RegisteredMessageFile();
   EXPECT_EQ(registered.substr(0, dir.size()), Wide(dir));
   EXPECT_EQ(EventText(registered, 1000, L"I120: started\n"), L"I120: started\n");
}

}  // namespace
