// Temporary directories and files of the tests on Windows: random names
// made with CreateDirectoryW and CreateFileW, which refuse a name taken.
#include "tests/support/testFiles.h"

#include <cstdlib>
#include <random>
#include <stdexcept>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "lib/misc/win32Text.h"
#include "tests/support/testWide.h"

namespace testutil {

std::wstring
Wide(const std::string &text)
{
   wchar_t *w = Win32Text_ToUtf16(text.c_str());
   std::wstring copy = w != nullptr ? w : L"";
   std::free(w);
   return copy;
}

namespace {

std::string
Utf8(const wchar_t *wide)
{
   char *text = Win32Text_ToUtf8(wide);
   std::string copy = text != nullptr ? text : "";
   std::free(text);
   return copy;
}

// parent + "/" + prefix + a random number not taken yet, made by make().
template <typename Make>
std::string
FreshName(const std::string &parent, const char *prefix, Make make)
{
   static std::mt19937 gen(std::random_device{}() ^ GetCurrentProcessId());
   for (int i = 0; i < 100; i++) {
      std::string name = parent + "\\" + prefix + std::to_string(gen() % 1000000000);
      if (make(Wide(name))) {
         return name;
      }
      if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) {
         break;
      }
   }
   throw std::runtime_error("cannot make a temporary name in " + parent);
}

}  // namespace

std::string
TempRoot()
{
   // $TMPDIR, which the test runner sets, made absolute, else the TEMP path.
   const char *tmp = getenv("TMPDIR");
   wchar_t full[MAX_PATH];
   DWORD n = tmp != nullptr && *tmp != '\0'
                ? GetFullPathNameW(Wide(tmp).c_str(), MAX_PATH, full, nullptr)
                : GetTempPathW(MAX_PATH, full);
   if (n == 0 || n >= MAX_PATH) {
      throw std::runtime_error("no temporary directory");
   }
   while (n > 3 && (full[n - 1] == L'\\' || full[n - 1] == L'/')) {
      full[--n] = L'\0';
   }
   return Utf8(full);
}

const char *const TEMP_DIR_VARIABLE = "TMP";

void
SetEnv(const std::string &name, const std::string &value)
{
   // The runtime's copy and the process's, which GetTempPathW reads.
   _putenv_s(name.c_str(), value.c_str());
   SetEnvironmentVariableW(Wide(name).c_str(), Wide(value).c_str());
}

void
UnsetEnv(const std::string &name)
{
   _putenv_s(name.c_str(), "");
   SetEnvironmentVariableW(Wide(name).c_str(), nullptr);
}

TempDir::TempDir(const std::string &parent)
{
   path_ = FreshName(parent, "salvor-test-", [](const std::wstring &name) {
      return CreateDirectoryW(name.c_str(), nullptr) != 0;
   });
}

TempFile::TempFile(const std::vector<uint8_t> &content)
{
   HANDLE h = INVALID_HANDLE_VALUE;
   path_ = FreshName(TempRoot(), "salvor-file-", [&](const std::wstring &name) {
      h = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
      return h != INVALID_HANDLE_VALUE;
   });
   DWORD put = 0;
   bool written = ::WriteFile(h, content.data(), (DWORD)content.size(), &put, nullptr) &&
                  put == content.size();
   CloseHandle(h);
   if (!written) {
      DeleteFileW(Wide(path_).c_str());
      throw std::runtime_error("cannot write " + path_);
   }
}

TempFile::~TempFile()
{
   DeleteFileW(Wide(path_).c_str());
}

bool
MakeFifo(const std::string &path)
{
   (void)path;
   return false;
}

namespace {

// The string form (S-1-5-...) of the SID of the account the process runs as.
std::wstring
CurrentUserSid()
{
   HANDLE token = nullptr;
   if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      return L"";
   }
   BYTE buf[256];
   DWORD size = 0;
   std::wstring sid;
   LPWSTR text = nullptr;
   if (GetTokenInformation(token, TokenUser, buf, sizeof buf, &size) &&
       ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buf)->User.Sid, &text)) {
      sid = text;
      LocalFree(text);
   }
   CloseHandle(token);
   return sid;
}

}  // namespace

bool
SetFileDacl(const std::string &path, const std::string &sddl)
{
   std::wstring text = Wide(sddl);
   for (size_t at = text.find(L";ME)"); at != std::wstring::npos; at = text.find(L";ME)")) {
      text.replace(at + 1, 2, CurrentUserSid());
   }
   PSECURITY_DESCRIPTOR sd = nullptr;
   if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &sd,
                                                             nullptr)) {
      return false;
   }
   BOOL present = FALSE, defaulted = FALSE;
   PACL dacl = nullptr;
   std::wstring wide = Wide(path);
   bool ok = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) &&
             SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
   LocalFree(sd);
   return ok;
}

}  // namespace testutil
