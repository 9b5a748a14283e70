// Registry chores of the Win32 back ends; see w32Util.h.
#include "lib/misc/w32Util.h"

#include <windows.h>

#include "lib/misc/platFaultWin32.h"
#include "lib/misc/productState.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"

namespace {

// Creates (or opens) the key below HKLM for setting values; *key owns it on success.
LONG
W32UtilCreateKey(const wchar_t *path, DWORD options, UtilWinRegKey *key)
{
   HKEY made = nullptr;
   LONG err = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, options, KEY_SET_VALUE,
                              nullptr, &made, nullptr);
   if (err == ERROR_SUCCESS) {
      key->Reset(made);
   }
   return err;
}

const char EVENT_LOG_KEY[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

bool
W32UtilRegisterSource(const char *source, const char *messageFile, bool persistent)
{
   std::string path = std::string(EVENT_LOG_KEY) + source;
   UtilHeapPtr<wchar_t> wideKey(Win32Text_ToUtf16(path.c_str()));
   UtilHeapPtr<wchar_t> wideFile(Win32Text_ToUtf16(messageFile));
   if (wideKey == nullptr || wideFile == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
   }
   if (!PlatFault_Allowed(PLAT_REGISTRY)) {
      return false;
   }
   if (persistent) {
      // An existing key keeps the kind it was made with.
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, wideKey.get());
   }
   UtilWinRegKey key;
   LONG err = W32UtilCreateKey(wideKey.get(),
                               persistent ? REG_OPTION_NON_VOLATILE : REG_OPTION_VOLATILE, &key);
   if (err == ERROR_CHILD_MUST_BE_VOLATILE) {
      // The log's key was itself made volatile: a registration until the
      // next restart is better than none.
      err = W32UtilCreateKey(wideKey.get(), REG_OPTION_VOLATILE, &key);
   }
   if (err == ERROR_SUCCESS) {
      DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
      err = RegSetValueExW(key.Get(), L"TypesSupported", 0, REG_DWORD,
                           reinterpret_cast<const BYTE *>(&types), sizeof types);
   }
   if (err == ERROR_SUCCESS) {
      DWORD bytes = (DWORD)((wcslen(wideFile.get()) + 1) * sizeof(wchar_t));
      err = RegSetValueExW(key.Get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE *>(wideFile.get()), bytes);
   }
   SetLastError((DWORD)err);
   return err == ERROR_SUCCESS;
}

// Whether the source's registration names a message library that exists.
bool
W32UtilRegisteredFileExists(const char *source)
{
   std::string path = std::string(EVENT_LOG_KEY) + source;
   UtilHeapPtr<wchar_t> wideKey(Win32Text_ToUtf16(path.c_str()));
   wchar_t value[MAX_PATH + 1], file[MAX_PATH + 1];
   DWORD size = sizeof value;
   if (wideKey == nullptr ||
       RegGetValueW(HKEY_LOCAL_MACHINE, wideKey.get(), L"EventMessageFile",
                    RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value,
                    &size) != ERROR_SUCCESS) {
      return false;
   }
   // The value may name %SystemRoot% or the like.
   DWORD n = ExpandEnvironmentStringsW(value, file, MAX_PATH + 1);
   if (n == 0 || n > MAX_PATH + 1) {
      return false;
   }
   DWORD attributes = GetFileAttributesW(file);
   return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

bool
W32Util_RegisterEventLog(const char *source, const char *messageFile)
{
   return W32UtilRegisterSource(source, messageFile, false);
}

bool
W32Util_RegisterEventLogPersistent(const char *source, const char *messageFile)
{
   return W32UtilRegisterSource(source, messageFile, true);
}

bool
W32Util_EnsureEventLog(const char *source)
{
   if (W32UtilRegisteredFileExists(source)) {
      return true;
   }
   return W32Util_RegisterEventLog(source, W32Util_EventMessageFile().c_str());
}

std::string
W32Util_EventMessageFile()
{
   std::string dir = W32Util_InstallPath();
   if (dir.empty()) {
      wchar_t self[MAX_PATH + 1];
      DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
      UtilHeapPtr<char> text(n > 0 && n <= MAX_PATH ? Win32Text_ToUtf8(self) : nullptr);
      std::string exe = text == nullptr ? "" : text.get();
      size_t slash = exe.find_last_of("\\/");
      dir = slash == std::string::npos ? "" : exe.substr(0, slash + 1);
   }
   return dir + W32UTIL_EVENT_MESSAGE_FILE;
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
