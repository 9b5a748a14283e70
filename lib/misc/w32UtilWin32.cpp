// Registry chores of the Win32 back ends; see w32Util.h.
#include "lib/misc/w32Util.h"

#include <windows.h>

#include "lib/misc/productState.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"

namespace {

// Closes a registry key when it goes out of scope.
struct W32UtilKey {
   HKEY key = nullptr;
   ~W32UtilKey()
   {
      if (key != nullptr) {
         RegCloseKey(key);
      }
   }
};

}  // namespace

bool
W32Util_RegisterEventLog(const char *source, const char *messageFile)
{
   std::string path = std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") +
                      source;
   UtilHeapPtr<wchar_t> wideKey(Win32Text_ToUtf16(path.c_str()));
   UtilHeapPtr<wchar_t> wideFile(Win32Text_ToUtf16(messageFile));
   if (wideKey == nullptr || wideFile == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
   }
   W32UtilKey k;
   LONG err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, wideKey.get(), 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &k.key, nullptr);
   if (err == ERROR_SUCCESS) {
      DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
      err = RegSetValueExW(k.key, L"TypesSupported", 0, REG_DWORD,
                           reinterpret_cast<const BYTE *>(&types), sizeof types);
   }
   if (err == ERROR_SUCCESS) {
      DWORD bytes = (DWORD)((wcslen(wideFile.get()) + 1) * sizeof(wchar_t));
      err = RegSetValueExW(k.key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE *>(wideFile.get()), bytes);
   }
   SetLastError((DWORD)err);
   return err == ERROR_SUCCESS;
}

std::string
W32Util_InstallPath()
{
   std::string product = std::string("SOFTWARE\\Quillon, Inc.\\") + ProductState_GetName();
   UtilHeapPtr<wchar_t> wideKey(Win32Text_ToUtf16(product.c_str()));
   if (wideKey == nullptr) {
      return "";
   }
   DWORD size = 0;
   if (RegGetValueW(HKEY_LOCAL_MACHINE, wideKey.get(), L"InstallPath", RRF_RT_REG_SZ, nullptr,
                    nullptr, &size) != ERROR_SUCCESS) {
      return "";
   }
   std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
   if (RegGetValueW(HKEY_LOCAL_MACHINE, wideKey.get(), L"InstallPath", RRF_RT_REG_SZ, nullptr,
                    value.data(), &size) != ERROR_SUCCESS) {
      return "";
   }
   UtilHeapPtr<char> text(Win32Text_ToUtf8(value.c_str()));
   std::string dir = text == nullptr ? "" : text.get();
   bool endsWithSeparator = !dir.empty() && (dir.back() == '\\' || dir.back() == '/');
   return endsWithSeparator ? dir : "";
}
