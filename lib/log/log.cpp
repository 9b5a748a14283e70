// The logging library; see log.h.
//
// Messages are formatted on the stack when they are short, and each one
// reaches the file with a single write, under one lock, so that lines of
// different threads never interleave. Until a file is open, messages go
// to standard error.
#include "lib/log/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

#include "lib/string/str.h"

namespace {

struct LogState {
   std::mutex lock;
   int fd = -1;
   std::string fileName;
};

LogState &
State()
{
   static LogState *state = new LogState;  // outlives static destructors
   return *state;
}

void
WriteAll(int fd, const char *text, size_t len)
{
   while (len > 0) {
      ssize_t n = write(fd, text, len);
      if (n < 0 && errno == EINTR) {
         continue;
      }
      if (n <= 0) {
         return;
      }
      text += n;
      len -= (size_t)n;
   }
}

}  // namespace

void
LogV(int level, const char *format, va_list args)
{
   if (level > LOG_LEVEL_INFO) {
      return;
   }
   int savedErrno = errno;
   char local[320];
   char *text = local;
   va_list copy;
   va_copy(copy, args);
   int n = Str_Vsnprintf(local, sizeof local, format, copy);
   va_end(copy);
   size_t len = n >= 0 ? (size_t)n : 0;
   if (n < 0) {
      text = Str_Vasprintf(&len, format, args);
      if (text == nullptr) {
         text = local;
         len = std::strlen(local);
      }
   }
   LogState &state = State();
   {
      std::lock_guard<std::mutex> guard(state.lock);
      WriteAll(state.fd >= 0 ? state.fd : STDERR_FILENO, text, len);
   }
   if (text != local) {
      std::free(text);
   }
   errno = savedErrno;
}

void
Log(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   LogV(LOG_LEVEL_INFO, format, args);
   va_end(args);
}

void
Warning(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   LogV(LOG_LEVEL_WARNING, format, args);
   va_end(args);
}

bool
Log_InitWithFile(const char *fileName, const char *appPrefix)
{
   (void)appPrefix;
   int fd = open(fileName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
   if (fd < 0) {
      return false;
   }
   LogState &state = State();
   std::lock_guard<std::mutex> guard(state.lock);
   if (state.fd >= 0) {
      close(state.fd);
   }
   state.fd = fd;
   state.fileName = fileName;
   return true;
}

const char *
Log_GetFileName()
{
   LogState &state = State();
   std::lock_guard<std::mutex> guard(state.lock);
   return state.fd >= 0 ? state.fileName.c_str() : nullptr;
}

void
Log_Exit()
{
   LogState &state = State();
   std::lock_guard<std::mutex> guard(state.lock);
   if (state.fd >= 0) {
      close(state.fd);
      state.fd = -1;
   }
}

void
Log_DisableThrottling()
{
}

void
Log_SetAlwaysKeep(bool)
{
}
