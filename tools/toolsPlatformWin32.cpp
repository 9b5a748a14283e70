// Win32 back end of the tools' platform layer; see toolsPlatform.h. The
// descriptors are the C runtime's, in binary mode; a read at an offset
// goes to the descriptor's system handle, as the runtime has none.
#include "tools/toolsPlatform.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"

namespace {

// The errno of a failed read of the system's.
int
ToolsPlatErrnoOf(DWORD err)
{
   switch (err) {
   case ERROR_ACCESS_DENIED: return EACCES;
   case ERROR_INVALID_HANDLE: return EBADF;
   case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
   default: return EIO;
   }
}

}  // namespace

int
ToolsPlat_OpenRead(const char *path)
{
   UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(path));
   if (wide == nullptr) {
      errno = EINVAL;
      return -1;
   }
   return _wopen(wide.get(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

void
ToolsPlat_Close(int fd)
{
   _close(fd);
}

int
ToolsPlat_StandardInput()
{
   _setmode(0, _O_BINARY);
   return 0;
}

bool
ToolsPlat_FileInfo(int fd, ToolsFileKind *kind, uint64_t *size)
{
   struct _stat64 st;
   if (_fstat64(fd, &st) != 0) {
      return false;
   }
   *kind = (st.st_mode & _S_IFMT) == _S_IFREG   ? ToolsFileKind::Regular
           : (st.st_mode & _S_IFMT) == _S_IFDIR ? ToolsFileKind::Directory
                                                : ToolsFileKind::Other;
   *size = (uint64_t)st.st_size;
   return true;
}

void
ToolsPlat_AdviseSequential(int fd)
{
   (void)fd;  // the system's cache reads ahead by itself
}

long
ToolsPlat_Read(int fd, void *dst, size_t len)
{
   unsigned n = len > 0x40000000 ? 0x40000000u : (unsigned)len;
   return _read(fd, dst, n);
}

long
ToolsPlat_ReadAt(int fd, void *dst, size_t len, uint64_t offset)
{
   HANDLE file = (HANDLE)_get_osfhandle(fd);
   if (file == INVALID_HANDLE_VALUE) {
      errno = EBADF;
      return -1;
   }
   OVERLAPPED at{};
   at.Offset = (DWORD)offset;
   at.OffsetHigh = (DWORD)(offset >> 32);
   DWORD n = 0;
   DWORD want = len > 0x40000000 ? 0x40000000u : (DWORD)len;
   if (!ReadFile(file, dst, want, &n, &at)) {
      DWORD err = GetLastError();
      if (err == ERROR_HANDLE_EOF) {
         return 0;
      }
      errno = ToolsPlatErrnoOf(err);
      return -1;
   }
   return (long)n;
}

bool
ToolsPlat_SeekStart(int fd)
{
   return _lseeki64(fd, 0, SEEK_SET) == 0;
}

bool
ToolsPlat_IsTerminal(FILE *stream)
{
   return _isatty(_fileno(stream)) != 0;
}

void
ToolsPlat_IgnoreBrokenPipe()
{
   // A write to a pipe without a reader fails with an error on Windows.
}
