// Linux back end of the host information; see hostinfo.h.
//
// - Host UUID: /etc/machine-id (32 hexadecimal digits, written once when
//   the system is installed), shown in the 8-4-4-4-12 form of a UUID.
// - Machine identifier (for hosts without /etc/machine-id): the 4 bytes of
//   gethostid() followed by the 8 bytes of the 64-bit FNV-1a hash of the
//   host name.
// - Process start time: field 22 of /proc/<pid>/stat, the start in clock
//   ticks since boot; a reused process id gets a later one.
// - Executable: the target of /proc/self/exe.
// - Existence: kill(pid, 0); EPERM still means that the process exists,
//   while a zombie (state Z or X in /proc/<pid>/stat) has ended.
#include "lib/misc/hostinfo.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

#include "lib/misc/platFaultPosix.h"
#include "lib/misc/utilScoped.h"

namespace {

// Reads at most size - 1 bytes of a small file into buf and terminates it.
ssize_t
HostinfoReadSmallFile(const char *path, char *buf, size_t size)
{
   if (!PlatFault_Allowed(PLAT_OPEN)) {
      return -1;
   }
   UtilFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
   if (!fd) {
      return -1;
   }
   size_t done = 0;
   while (done + 1 < size) {
      ssize_t n = Util_RetryOnEintr([&] { return read(fd.Get(), buf + done, size - 1 - done); });
      if (n <= 0) {
         break;
      }
      done += (size_t)n;
   }
   buf[done] = '\0';
   return (ssize_t)done;
}

bool
HostinfoIsHex(char c)
{
   return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

char *
Hostinfo_GetHostUUID()
{
   char buf[64];
   if (HostinfoReadSmallFile("/etc/machine-id", buf, sizeof buf) < 32) {
      return nullptr;
   }
   for (int i = 0; i < 32; i++) {
      if (!HostinfoIsHex(buf[i])) {
         return nullptr;
      }
   }
   if (buf[32] != '\0' && buf[32] != '\n') {
      return nullptr;
   }
   std::string uuid;
   for (int i = 0; i < 32; i++) {
      if (i == 8 || i == 12 || i == 16 || i == 20) {
         uuid += '-';
      }
      uuid += (char)std::tolower((unsigned char)buf[i]);
   }
   return strdup(uuid.c_str());
}

bool
Hostinfo_MachineID(uint8_t id[HOSTINFO_MACHINE_ID_SIZE])
{
   struct utsname un;
   if (uname(&un) != 0) {
      return false;
   }
   uint32_t hostId = (uint32_t)gethostid();
   uint64_t hash = 0xcbf29ce484222325ULL;
   for (const char *p = un.nodename; *p != '\0'; p++) {
      hash ^= (unsigned char)*p;
      hash *= 0x100000001b3ULL;
   }
   for (int i = 0; i < 4; i++) {
      id[i] = (uint8_t)(hostId >> (8 * i));
   }
   for (int i = 0; i < 8; i++) {
      id[4 + i] = (uint8_t)(hash >> (8 * i));
   }
   return true;
}

int
Hostinfo_ProcessId()
{
   return (int)getpid();
}

namespace {

/*
 * Field `want` (3 or later) of /proc/<pid>/stat, copied into out. Field 2,
 * the command name in parentheses, may hold blanks and parentheses
 * itself: the fields after it start after the last ")".
 */
bool
HostinfoStatField(int pid, int want, std::string *out)
{
   if (pid <= 0) {
      return false;
   }
   char path[64];
   snprintf(path, sizeof path, "/proc/%d/stat", pid);
   char buf[1024];
   if (HostinfoReadSmallFile(path, buf, sizeof buf) <= 0) {
      return false;
   }
   const char *at = std::strrchr(buf, ')');
   if (at == nullptr) {
      return false;
   }
   at++;
   for (int field = 3; field <= want; field++) {
      while (*at == ' ') {
         at++;
      }
      if (*at == '\0') {
         return false;
      }
      const char *end = at;
      while (*end != ' ' && *end != '\0' && *end != '\n') {
         end++;
      }
      if (field == want) {
         out->assign(at, (size_t)(end - at));
         return true;
      }
      at = end;
   }
   return false;
}

}  // namespace

bool
Hostinfo_ProcessStartTime(int pid, uint64_t *startTime)
{
   std::string field;
   if (!HostinfoStatField(pid, 22, &field)) {
      return false;
   }
   char *end;
   errno = 0;
   unsigned long long value = std::strtoull(field.c_str(), &end, 10);
   if (end == field.c_str() || *end != '\0' || errno != 0) {
      return false;
   }
   *startTime = value;
   return true;
}

char *
Hostinfo_ExecutablePath()
{
   char buf[4096];
   ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
   if (n <= 0) {
      return nullptr;
   }
   buf[n] = '\0';
   return strdup(buf);
}

HostinfoProcessQuery
Hostinfo_QueryProcessExistence(int pid)
{
   // 0 and negative ids name process groups for kill(): no answer.
   if (pid <= 0) {
      return HOSTINFO_PROCESS_QUERY_UNKNOWN;
   }
   if (kill((pid_t)pid, 0) == 0) {
      std::string state;
      if (HostinfoStatField(pid, 3, &state) && (state == "Z" || state == "X")) {
         return HOSTINFO_PROCESS_QUERY_DEAD;
      }
      return HOSTINFO_PROCESS_QUERY_ALIVE;
   }
   switch (errno) {
   case ESRCH:
      return HOSTINFO_PROCESS_QUERY_DEAD;
   case EPERM:
      return HOSTINFO_PROCESS_QUERY_ALIVE;
   default:
      return HOSTINFO_PROCESS_QUERY_UNKNOWN;
   }
}
