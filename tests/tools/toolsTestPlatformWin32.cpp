// Win32 back end of the tools' test helpers; see toolsTestPlatform.h.
// The descriptors are the C runtime's; a child inherits the standard
// input handle, so lending a pipe swaps that handle.
#include "tests/tools/toolsTestPlatform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <filesystem>

namespace toolstest {

namespace {

// The string form (S-1-5-...) of the SID of the user the process runs as.
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
MakeOwnerOnly(const std::string &path)
{
   std::wstring sddl = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + CurrentUserSid() + L")";
   PSECURITY_DESCRIPTOR sd = nullptr;
   if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                             nullptr)) {
      return false;
   }
   BOOL present = FALSE, defaulted = FALSE;
   PACL dacl = nullptr;
   std::wstring wide = std::filesystem::path(path).wstring();
   bool ok = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) &&
             SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
   LocalFree(sd);
   return ok;
}

bool
OpenPipe(int fds[2])
{
   return _pipe(fds, 64 * 1024, _O_BINARY | _O_NOINHERIT) == 0;
}

long
Write(int fd, const void *buf, size_t len)
{
   return _write(fd, buf, (unsigned)len);
}

void
Close(int fd)
{
   _close(fd);
}

bool
MakeSparseFile(const std::string &path, uint64_t size)
{
   HANDLE h = CreateFileW(std::filesystem::path(path).c_str(), GENERIC_WRITE, 0, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
   if (h == INVALID_HANDLE_VALUE) {
      return false;
   }
   // Where the file system has no sparse files, the size still holds.
   DWORD ignored = 0;
   DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
   LARGE_INTEGER end;
   end.QuadPart = (LONGLONG)size;
   bool ok = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
   CloseHandle(h);
   return ok;
}

intptr_t
LendStandardInput(int fd)
{
   HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
   SetStdHandle(STD_INPUT_HANDLE, (HANDLE)_get_osfhandle(fd));
   return (intptr_t)saved;
}

void
RestoreStandardInput(intptr_t saved)
{
   SetStdHandle(STD_INPUT_HANDLE, (HANDLE)saved);
}

}  // namespace toolstest
