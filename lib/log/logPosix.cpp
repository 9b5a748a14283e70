// POSIX back end of the logging library: descriptor calls, clocks, the
// system logger (syslog, which the journal receives on systemd hosts) and
// the host facts of the banner.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <syslog.h>
#include <unicode/ucnv.h>
#include <unistd.h>

#include "lib/log/logInt.h"
#include "lib/log/logPlatform.h"
#include "lib/misc/platFaultPosix.h"
#include "lib/misc/utilScoped.h"

namespace {

const LogSystemLoggerSink *testSink = nullptr;

int
LogPlatSyslogPriority(uint16_t eventType, int32_t level)
{
   if (eventType == LOG_EVENT_ERROR) {
      return LOG_ERR;
   }
   if (eventType == LOG_EVENT_WARNING) {
      return LOG_WARNING;
   }
   return level >= LOG_LEVEL_DEBUG ? LOG_DEBUG : LOG_INFO;
}

// The source name must outlive openlog(); one source is open at a time.
char syslogIdent[128];

}  // namespace

int
LogPlat_Open(const char *path)
{
   if (!PlatFault_Allowed(PLAT_OPEN)) {
      return -1;
   }
   return Util_RetryOnEintr(
      [&] { return open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644); });
}

long
LogPlat_Write(int fd, const void *data, size_t length)
{
   if (!PlatFault_Allowed(PLAT_WRITE, &length, fd)) {
      return -1;
   }
   return Util_RetryOnEintr([&] { return write(fd, data, length); });
}

long
LogPlat_Read(int fd, void *buf, size_t length)
{
   if (!PlatFault_Allowed(PLAT_READ)) {
      return -1;
   }
   return Util_RetryOnEintr([&] { return read(fd, buf, length); });
}

bool
LogPlat_Sync(int fd)
{
   return fdatasync(fd) == 0;
}

void
LogPlat_Close(int fd)
{
   close(fd);
}

bool
LogPlat_Dup2(int from, int to)
{
   if (from == to) {
      return false;
   }
   // dup2 drops the close-on-exec flag; the log is not for child processes.
   return dup3(from, to, O_CLOEXEC) == to;
}

bool
LogPlat_Truncate(int fd)
{
   return ftruncate(fd, 0) == 0;
}

bool
LogPlat_SeekStart(int fd)
{
   if (!PlatFault_Allowed(PLAT_SEEK)) {
      return false;
   }
   return lseek(fd, 0, SEEK_SET) == 0;
}

int64_t
LogPlat_FileSize(int fd)
{
   struct stat st;
   return fstat(fd, &st) == 0 ? (int64_t)st.st_size : -1;
}

void
LogPlat_WriteStderr(const char *text, size_t length)
{
   Util_RetryOnEintr([&] { return write(STDERR_FILENO, text, length); });
}

void *
LogPlat_SysOpen(const char *name)
{
   if (testSink != nullptr) {
      return testSink->open(name);
   }
   std::snprintf(syslogIdent, sizeof syslogIdent, "%s", name);
   openlog(syslogIdent, LOG_PID | LOG_NDELAY, LOG_DAEMON);
   return syslogIdent;
}

void
LogPlat_SysReport(void *handle, uint16_t eventType, int32_t level, const char *text)
{
   if (testSink != nullptr) {
      testSink->report(handle, eventType, level, text);
      return;
   }
   syslog(LogPlatSyslogPriority(eventType, level), "%s", text);
}

void
LogPlat_SysClose(void *handle)
{
   if (testSink != nullptr) {
      testSink->close(handle);
      return;
   }
   closelog();
}

void
LogPlat_SetSystemLoggerSink(const LogSystemLoggerSink *sink)
{
   testSink = sink;
}

const char *
LogPlat_Codepage()
{
   return nl_langinfo(CODESET);
}

const char *
LogPlat_Encoding()
{
   return ucnv_getDefaultName();
}

void
LogPlat_HostDescription(char *buf, size_t size)
{
   struct utsname u;
   if (uname(&u) != 0) {
      std::snprintf(buf, size, "unknown");
      return;
   }
   std::snprintf(buf, size, "%s %s %s", u.sysname, u.release, u.machine);
}
