// The event log as the system logger on Windows: the source is registered
// in the registry before it is opened, naming the message library in the
// product's installation directory.
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

}  // namespace
