// Platform layer of the console front end on POSIX systems; see msgPlatform.h.
#include "lib/user/msgPlatform.h"

#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <unistd.h>

#include "lib/misc/platFaultPosix.h"
#include "lib/misc/utilScoped.h"
#include "lib/user/msgInt.h"

namespace {

// A thread-specific key: its destructors run after the C++ thread-local
// destructors, and again (a few rounds) for values set meanwhile.
pthread_once_t exitKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t exitKey;
bool exitKeyMade = false;
std::atomic<void (*)(void *)> exitHook{nullptr};

void
MsgPosixRunExitHook(void *value)
{
   void (*hook)(void *) = exitHook.load();
   if (hook != nullptr) {
      hook(value);
   }
}

void
MsgPosixMakeExitKey()
{
   exitKeyMade = pthread_key_create(&exitKey, MsgPosixRunExitHook) == 0;
}

}  // namespace

bool
MsgPlat_SetThreadExitValue(void (*atExit)(void *), void *value)
{
   exitHook.store(atExit);
   pthread_once(&exitKeyOnce, MsgPosixMakeExitKey);
   return exitKeyMade && pthread_setspecific(exitKey, value) == 0;
}

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
