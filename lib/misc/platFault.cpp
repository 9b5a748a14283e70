// Failure seam of the platform layer; see platFault.h.
#include "lib/misc/platFault.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

struct Fault {
   bool armed = false;
   int err = 0;
   int skip = 0;
   int count = 0;
   long shortBytes = -1;
};

std::mutex faultLock;
Fault faults[PLAT_CALL_COUNT];
std::atomic<bool> anyArmed{false};  // a fault or the observer is set
std::atomic<void (*)(PlatCall)> observer{nullptr};
// The handles PlatFault_LimitTo confines the seam to; none: every handle.
intptr_t onlyHandles[PLAT_FAULT_MAX_HANDLES];
size_t onlyCount = 0;

bool
PlatFaultOnOtherHandle(intptr_t handle)
{
   if (handle == -1) {
      return false;
   }
   std::lock_guard<std::mutex> guard(faultLock);
   for (size_t i = 0; i < onlyCount; i++) {
      if (onlyHandles[i] == handle) {
         return false;
      }
   }
   return onlyCount > 0;
}

const char *const callNames[PLAT_CALL_COUNT] = {
   "open", "read", "write", "seek", "close", "rename", "unlink", "mkdir",
   "rmdir", "stat", "listdir", "socket", "bind", "connect", "select", "recvfrom",
   "sendto", "random", "ptrace", "registry", "service",
};

}  // namespace

void
PlatFault_Inject(PlatCall call, int err, int skip, int count, long shortBytes)
{
   std::lock_guard<std::mutex> guard(faultLock);
   faults[call] = Fault{true, err, skip, count, shortBytes};
   anyArmed.store(true, std::memory_order_release);
}

void
PlatFault_Clear()
{
   std::lock_guard<std::mutex> guard(faultLock);
   for (Fault &f : faults) {
      f = Fault{};
   }
   observer.store(nullptr, std::memory_order_release);
   onlyCount = 0;
   anyArmed.store(false, std::memory_order_release);
}

void
PlatFault_LimitTo(const intptr_t *handles, size_t count)
{
   std::lock_guard<std::mutex> guard(faultLock);
   onlyCount = count < PLAT_FAULT_MAX_HANDLES ? count : PLAT_FAULT_MAX_HANDLES;
   for (size_t i = 0; i < onlyCount; i++) {
      onlyHandles[i] = handles[i];
   }
}

void
PlatFault_SetObserver(void (*fn)(PlatCall call))
{
   std::lock_guard<std::mutex> guard(faultLock);
   observer.store(fn, std::memory_order_release);
   if (fn != nullptr) {
      anyArmed.store(true, std::memory_order_release);
   }
}

int
PlatFault_Check(PlatCall call, size_t *len, intptr_t handle)
{
   if (!anyArmed.load(std::memory_order_acquire)) {
      return 0;
   }
   if (PlatFaultOnOtherHandle(handle)) {
      return 0;
   }
   void (*fn)(PlatCall) = observer.load(std::memory_order_acquire);
   if (fn != nullptr) {
      fn(call);  // outside the lock: it may make platform calls of its own
   }
   std::lock_guard<std::mutex> guard(faultLock);
   Fault &f = faults[call];
   if (!f.armed) {
      return 0;
   }
   if (f.skip > 0) {
      f.skip--;
      return 0;
   }
   if (f.count == 0) {
      return 0;
   }
   if (f.count > 0) {
      f.count--;
   }
   if (f.shortBytes >= 0 && len != nullptr) {
      // The first armed call moves part of its bytes; later ones fail.
      long part = f.shortBytes;
      f.shortBytes = -1;
      if (part > 0) {
         if (*len > (size_t)part) {
            *len = (size_t)part;
         }
         return 0;
      }
   }
   return f.err;
}

bool
PlatFault_ArmFromText(const char *text)
{
   std::string all(text == nullptr ? "" : text);
   size_t pos = 0;
   while (pos < all.size()) {
      size_t end = all.find(';', pos);
      std::string item = all.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
      pos = end == std::string::npos ? all.size() : end + 1;
      if (item.empty()) {
         continue;
      }
      size_t colon = item.find(':');
      std::string name = item.substr(0, colon);
      int call = -1;
      for (int i = 0; i < PLAT_CALL_COUNT; i++) {
         if (name == callNames[i]) {
            call = i;
         }
      }
      if (call < 0 || colon == std::string::npos) {
         return false;
      }
      int err = 0, skip = 0, count = 1;
      long shortBytes = -1;
      std::string rest = item.substr(colon + 1);
      err = std::atoi(rest.c_str());
      for (size_t at = rest.find(':'); at != std::string::npos; at = rest.find(':', at + 1)) {
         const char *opt = rest.c_str() + at + 1;
         if (std::strncmp(opt, "skip=", 5) == 0) {
            skip = std::atoi(opt + 5);
         } else if (std::strncmp(opt, "count=", 6) == 0) {
            count = std::atoi(opt + 6);
         } else if (std::strncmp(opt, "short=", 6) == 0) {
            shortBytes = std::atol(opt + 6);
         } else {
            return false;
         }
      }
      PlatFault_Inject((PlatCall)call, err, skip, count, shortBytes);
   }
   return true;
}
