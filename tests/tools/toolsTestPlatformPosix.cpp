// POSIX back end of the tools' test helpers; see toolsTestPlatform.h.
#include "tests/tools/toolsTestPlatform.h"

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace toolstest {

bool
OpenPipe(int fds[2])
{
   // A write to a pipe whose reader has gone must fail, not end the test.
   std::signal(SIGPIPE, SIG_IGN);
   return pipe2(fds, O_CLOEXEC) == 0;
}

bool
MakeOwnerOnly(const std::string &path)
{
   return chmod(path.c_str(), 0600) == 0;
}

long
Write(int fd, const void *buf, size_t len)
{
   return write(fd, buf, len);
}

void
Close(int fd)
{
   close(fd);
}

bool
MakeSparseFile(const std::string &path, uint64_t size)
{
   int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
   if (fd < 0) {
      return false;
   }
   bool ok = ftruncate(fd, (off_t)size) == 0;
   close(fd);
   return ok;
}

intptr_t
LendStandardInput(int fd)
{
   int saved = fcntl(0, F_DUPFD_CLOEXEC, 3);
   dup2(fd, 0);  // without close-on-exec: the child gets it
   return saved;
}

void
RestoreStandardInput(intptr_t saved)
{
   if (saved < 0) {
      close(0);
      return;
   }
   dup2((int)saved, 0);
   close((int)saved);
}

}  // namespace toolstest
