// Host and process identities in the advisory lock files' member records
// (Linux):
// - machine id: "uuid=" and the UUID of /etc/machine-id; without it the
//   base64 of the 12-byte machine identifier of Hostinfo_MachineID.
// - execution id: "<pid>-<start time>(<executable base name>)", the start
//   time being field 22 of /proc/<pid>/stat. A member on this machine is
//   stale when its process is gone or its process id now belongs to a
//   process that started at another time.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "lib/file/fileLockInt.h"
#include "lib/file/filePlatform.h"
#include "lib/misc/logHook.h"
#include "lib/misc/hostinfo.h"
#include "lib/misc/utilScoped.h"

namespace {

/*
 * Base64 of the machine identifier, "/" written as "-" so that the id can
 * stand in a file-name-like field.
 */
std::string
FileLockHashedHostId()
{
   static std::once_flag once;
   static std::string hashed;
   std::call_once(once, [] {
      uint8_t id[HOSTINFO_MACHINE_ID_SIZE] = {};
      if (!Hostinfo_MachineID(id)) {
         LogHook_Warning("FILE: %s: no machine identifier; using zeros\n",
                         "FileLockHashedHostId");
      }
      static const char digits[] =
         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
      for (size_t i = 0; i < sizeof id; i += 3) {
         uint32_t v = (uint32_t)id[i] << 16 | (uint32_t)id[i + 1] << 8 | id[i + 2];
         for (int shift = 18; shift >= 0; shift -= 6) {
            char c = digits[(v >> shift) & 0x3F];
            hashed += c == '/' ? '-' : c;
         }
      }
   });
   return hashed;
}

// Logs once whether process start times can be read here.
void
FileLockDynaLink()
{
   static std::once_flag once;
   std::call_once(once, [] {
      uint64_t start;
      bool available = Hostinfo_ProcessStartTime(Hostinfo_ProcessId(), &start);
      LogHook_Log("FILE: %s: Further process validation tools are: %s\n", "FileLockDynaLink",
                  available ? "available" : "unavailable");
   });
}

}  // namespace

const char *
FileLockHostId()
{
   static std::once_flag once;
   static std::string hostId;
   std::call_once(once, [] {
      UtilCString uuid(Hostinfo_GetHostUUID());
      if (uuid != nullptr) {
         hostId = std::string("uuid=") + uuid.get();
         for (char &c : hostId) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
               c = '-';
            }
         }
      } else {
         hostId = FileLockHashedHostId();
      }
   });
   return hostId.c_str();
}

bool
FileLockSameHost(const char *local, const char *other)
{
   bool localUuid = std::strncmp(local, "uuid=", 5) == 0;
   bool otherUuid = std::strncmp(other, "uuid=", 5) == 0;
   if (localUuid && otherUuid) {
      return std::strcmp(local, other) == 0;
   }
   if (localUuid) {
      return FileLockHashedHostId() == other;
   }
   return !otherUuid && std::strcmp(local, other) == 0;
}

/*
 * This process's execution id. The start time and the executable never
 * change while the process id stays the same; a forked child has a new
 * process id and gets its own.
 */
std::string
FileLockExecId()
{
   thread_local int cachedPid = -1;
   thread_local std::string cached;
   int pid = Hostinfo_ProcessId();
   if (pid == cachedPid) {
      return cached;
   }
   FileLockDynaLink();
   uint64_t start = 0;
   if (!Hostinfo_ProcessStartTime(pid, &start)) {
      start = 0;
   }
   char head[64];
   std::snprintf(head, sizeof head, "%d-%" PRIu64, pid, start);
   std::string id = head;
   UtilCString exe(Hostinfo_ExecutablePath());
   if (exe != nullptr) {
      const char *slash = std::strrchr(exe.get(), '/');
      const char *backslash =
         FILEPLAT_BACKSLASH_SEPARATES ? std::strrchr(exe.get(), '\\') : nullptr;
      if (backslash != nullptr && (slash == nullptr || backslash > slash)) {
         slash = backslash;
      }
      std::string base = slash != nullptr ? slash + 1 : exe.get();
      if (!base.empty()) {
         for (char &c : base) {
            if (c == ' ') {
               c = '_';
            }
         }
         id += "(" + base + ")";
      }
   }
   cachedPid = pid;
   cached = id;
   return id;
}

bool
FileLockValidExecId(const char *executionID)
{
   int pid;
   unsigned long long start;
   int got = std::sscanf(executionID, "%d-%llu", &pid, &start);
   if (got < 1) {
      return true;
   }
   HostinfoProcessQuery q = Hostinfo_QueryProcessExistence(pid);
   if (q == HOSTINFO_PROCESS_QUERY_DEAD) {
      return false;
   }
   if (q == HOSTINFO_PROCESS_QUERY_UNKNOWN || got < 2 || start == 0) {
      return true;
   }
   uint64_t now;
   if (Hostinfo_ProcessStartTime(pid, &now) && now != start) {
      return false;  // the process id has been reused
   }
   return true;
}
