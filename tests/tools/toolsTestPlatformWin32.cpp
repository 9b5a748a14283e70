// Win32 back end of the tools' test helpers; see toolsTestPlatform.h.
// The descriptors are the C runtime's; a child inherits the standard
// input handle, so lending a pipe swaps that handle.
#include "tests/tools/toolsTestPlatform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <filesystem>

#include "tests/support/testFiles.h"

namespace toolstest {

bool
MakeOwnerOnly(const std::string &path)
{
   // The deny for everyone else, last, is what Wine keeps of the DACL as
   // the file's mode; Windows grants the three before it comes to it.
   return testutil::SetFileDacl(path, "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;ME)(D;;FR;;;WD)");
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
