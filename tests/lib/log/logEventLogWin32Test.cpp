// The event log as the system logger on Windows: the source is registered
// in the registry before it is opened, naming the message library in the
// product's installation directory; the library built beside the program
// turns each reported line back into its text, as the event viewer does.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "lib/log/logPlatform.h"
#include "lib/misc/productState.h"
#include "lib/misc/w32Util.h"

namespace {

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

TEST(EventLogWin32, OpeningRegistersTheSourceWithItsTypesAndMessageLibrary)
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
   SetInstallPath(nullptr);
}

TEST(EventLogWin32, InstallPathCountsOnlyWhenItEndsWithASeparator)
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
   EXPECT_EQ(RegisteredMessageFile(), L"salvorEventMessages.dll");
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

TEST(EventMessageLibrary, RegisteredMessageFileIsTheBuiltLibrary)
{
   // The installation directory is the one the library was built in; the
   // name that the registration adds must be the library's.
   std::string built = LOG_EVENT_MESSAGES_DLL;
   std::string dir = built.substr(0, built.find_last_of("/\\") + 1);
   SetInstallPath(Wide(dir).c_str());
   void *handle = LogPlat_SysOpen("salvor-test-source");
   ASSERT_NE(handle, nullptr);
   LogPlat_SysClose(handle);
   SetInstallPath(nullptr);

   std::wstring registered = RegisteredMessageFile();
   EXPECT_EQ(registered.substr(0, dir.size()), Wide(dir));
   EXPECT_EQ(EventText(registered, 1000, L"I120: started\n"), L"I120: started\n");
}

}  // namespace
