// POSIX back end of the tools' platform layer; see toolsPlatform.h.
#include "tools/toolsPlatform.h"

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/misc/utilScoped.h"

int
ToolsPlat_OpenRead(const char *path)
{
   return open(path, O_RDONLY | O_CLOEXEC);
}

void
ToolsPlat_Close(int fd)
{
   close(fd);
}

int
ToolsPlat_StandardInput()
{
   return STDIN_FILENO;
}

bool
ToolsPlat_FileInfo(int fd, ToolsFileKind *kind, uint64_t *size)
{
   struct stat st;
   if (fstat(fd, &st) != 0) {
      return false;
   }
   *kind = S_ISREG(st.st_mode)   ? ToolsFileKind::Regular
           : S_ISDIR(st.st_mode) ? ToolsFileKind::Directory
                                 : ToolsFileKind::Other;
   *size = (uint64_t)st.st_size;
   return true;
}

void
ToolsPlat_AdviseSequential(int fd)
{
   posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

long
ToolsPlat_Read(int fd, void *dst, size_t len)
{
   return Util_RetryOnEintr([&] { return read(fd, dst, len); });
}

long
ToolsPlat_ReadAt(int fd, void *dst, size_t len, uint64_t offset)
{
   return Util_RetryOnEintr([&] { return pread(fd, dst, len, (off_t)offset); });
}

bool
ToolsPlat_SeekStart(int fd)
{
   return lseek(fd, 0, SEEK_SET) == 0;
}

bool
ToolsPlat_IsTerminal(FILE *stream)
{
   return isatty(fileno(stream)) == 1;
}

void
ToolsPlat_IgnoreBrokenPipe()
{
   std::signal(SIGPIPE, SIG_IGN);
}
