// Windows back end of the preference store's folders; see
// preferencePlatform.h.
//
// - Common application data: the product key's "AppDataPath" value
//   (HKEY_LOCAL_MACHINE\SOFTWARE\Quillon, Inc.\<product name>), else the
//   shell's common application-data folder (C:\ProgramData).
// - Per-user application data: the shell's roaming application-data
//   folder, created when missing.
// - As on POSIX, $SALVOR_APPDATA_PATH and $XDG_CONFIG_HOME, when set and
//   not empty, stand in for the two: the tests keep their files inside
//   the build tree with them, whatever the machine's folders hold.
// - Common files are read by the service as the system account: their
//   directories are made with a list that lets only administrators change
//   them, and a file is read only when it and its directory are such
//   (W32Util_IsAdminOnly). Any user may make folders under ProgramData,
//   and a settings.ini planted there would steer the service. The tests'
//   stand-in folder is not checked.
#include "lib/config/preferencePlatform.h"

#include <cstdlib>
#include <shlobj.h>
#include <string>
#include <vector>
#include <windows.h>

#include "lib/file/file.h"
#include "lib/misc/productState.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/w32Util.h"
#include "lib/misc/win32Text.h"

namespace {

bool
PreferenceWin32Env(const char *name, std::string *value)
{
   const char *v = std::getenv(name);
   if (v == nullptr || v[0] == '\0') {
      return false;
   }
   *value = v;
   return true;
}

bool
PreferenceWin32Utf8(const wchar_t *wide, std::string *out)
{
   UtilCString text(Win32Text_ToUtf8(wide));
   if (text == nullptr || text.get()[0] == '\0') {
      return false;
   }
   *out = text.get();
   return true;
}

// A shell folder, made when missing.
bool
PreferenceWin32ShellFolder(int csidl, std::string *folder)
{
   wchar_t path[MAX_PATH];
   if (FAILED(SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr,
                               SHGFP_TYPE_CURRENT, path))) {
      return false;
   }
   return PreferenceWin32Utf8(path, folder);
}

// The product key's "AppDataPath" value, of any length; false when unset.
bool
PreferenceWin32ConfiguredFolder(std::string *folder)
{
   UtilHeapPtr<wchar_t> key(
      Win32Text_ToUtf16((std::string("SOFTWARE\\Quillon, Inc.\\") + ProductState_GetName()).c_str()));
   HKEY opened;
   if (key == nullptr ||
       RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.get(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
      return false;
   }
   UtilWinRegKey product(opened);
   std::vector<wchar_t> value;
   LONG err;
   do {
      DWORD size = 0;
      err = RegGetValueW(product.Get(), nullptr, L"AppDataPath", RRF_RT_REG_SZ, nullptr, nullptr,
                         &size);
      if (err != ERROR_SUCCESS) {
         break;
      }
      value.assign(size / sizeof(wchar_t) + 1, L'\0');
      size = (DWORD)(value.size() * sizeof(wchar_t));
      // Longer by now, if somebody changed it meanwhile: ask again.
      err = RegGetValueW(product.Get(), nullptr, L"AppDataPath", RRF_RT_REG_SZ, nullptr,
                         value.data(), &size);
   } while (err == ERROR_MORE_DATA);
   return err == ERROR_SUCCESS && PreferenceWin32Utf8(value.data(), folder);
}

}  // namespace

bool
PreferencePlat_UserAppDataFolder(std::string *folder)
{
   if (PreferenceWin32Env("XDG_CONFIG_HOME", folder)) {
      File_MakeDirTree(folder->c_str(), nullptr);  // as the shell's create flag
      return true;
   }
   return PreferenceWin32ShellFolder(CSIDL_APPDATA, folder);
}

bool
PreferencePlat_CommonAppDataFolder(std::string *folder)
{
   return PreferenceWin32Env("SALVOR_APPDATA_PATH", folder) ||
          PreferenceWin32ConfiguredFolder(folder) ||
          PreferenceWin32ShellFolder(CSIDL_COMMON_APPDATA, folder);
}

bool
PreferencePlat_MakeCommonDirectory(const std::string &dir)
{
   return W32Util_MakeAdminOnlyDirectory(dir.c_str());
}

bool
PreferencePlat_CommonFileIsTrusted(const std::string &dir, const std::string &path,
                                   std::string *why)
{
   std::string standIn;
   if (PreferenceWin32Env("SALVOR_APPDATA_PATH", &standIn)) {
      return true;
   }
   std::string reason;
   for (const std::string &what : {dir, path}) {
      if (!W32Util_IsAdminOnly(what.c_str(), &reason)) {
         *why = what + ": " + reason;
         return false;
      }
   }
   return true;
}
