// Platform layer of the console front end on POSIX systems; see msgPlatform.h.
#include "lib/user/msgPlatform.h"

#include <cerrno>
#include <unistd.h>

#include "lib/misc/platFaultPosix.h"
#include "lib/misc/utilScoped.h"
#include "lib/user/msgInt.h"

const MsgFrontEnd *
MsgPlat_DefaultFrontEnd()
{
   return &msgConsoleFrontEnd;
}

int MsgPlat_StdinFd() { return STDIN_FILENO; }
int MsgPlat_StdoutFd() { return STDOUT_FILENO; }
int MsgPlat_StderrFd() { return STDERR_FILENO; }

bool
MsgPlat_IsTerminal(int fd)
{
   return ::isatty(fd) == 1;
}

bool
MsgPlat_Write(int fd, const char *text, size_t length)
{
   while (length > 0) {
      size_t len = length;
      if (!PlatFault_Allowed(PLAT_WRITE, &len, fd)) {
         return false;
      }
      ssize_t n = Util_RetryOnEintr([&] { return ::write(fd, text, len); });
      if (n <= 0) {
         return false;
      }
      text += n;
      length -= (size_t)n;
   }
   return true;
}

int
MsgPlat_ReadByte(int fd, char *byte)
{
   if (!PlatFault_Allowed(PLAT_READ)) {
      return -1;
   }
   ssize_t n = Util_RetryOnEintr([&] { return ::read(fd, byte, 1); });
   return n < 0 ? -1 : (int)n;
}
