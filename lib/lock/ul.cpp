// What the three kinds of user-level locks share; see ulInt.h.
#include "lib/lock/ulInt.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "lib/misc/panic.h"
#include "lib/misc/random.h"
#include "lib/string/str.h"

namespace {

std::atomic<uint32_t> processSignature{0};
std::atomic<uint32_t> serialCounter{0};

constexpr int MXUSER_SIGNATURE_DRAWS = 26;

uint32_t
MXUserProcessSignature()
{
   uint32_t sig = processSignature.load(std::memory_order_acquire);
   if (sig != 0) {
      return sig;
   }
   uint32_t mine = 0;
   for (int i = 0; i < MXUSER_SIGNATURE_DRAWS && mine == 0; i++) {
      if (!Random_Crypto(sizeof mine, &mine)) {
         mine = 0;
      }
   }
   if (mine == 0) {
      mine = MXUserPlatTickCount();
   }
   if (mine == 0) {
      mine = 1;
   }
   if (processSignature.compare_exchange_strong(sig, mine, std::memory_order_acq_rel,
                                                std::memory_order_acquire)) {
      return mine;
   }
   return sig;
}

}  // namespace

uint32_t
MXUserGetSignature(uint32_t kind)
{
   return (kind << 28) | (MXUserProcessSignature() & 0x0FFFFFFF);
}

uint32_t
MXUserNextSerialNumber()
{
   return serialCounter.fetch_add(1, std::memory_order_relaxed) + 1;
}

void
MXUserInitHeader(MXUserHeader *header, uint32_t kind, const char *name,
                 const char *prefix, const void *creator, MXRank rank,
                 MXUserDumpFunc dumpFunc)
{
   if (name == nullptr) {
      char generated[64];
      Str_Snprintf(generated, sizeof generated, "%s-%p", prefix, creator);
      header->name = Util_SafeStrdup(generated);
   } else {
      header->name = Util_SafeStrdup(name);
   }
   header->signature = MXUserGetSignature(kind);
   header->rank = rank;
   header->serialNumber = MXUserNextSerialNumber();
   header->dumpFunc = dumpFunc;
}

void
MXUserFreeHeader(MXUserHeader *header)
{
   header->signature = 0;
   std::free(header->name);
   header->name = nullptr;
}

void
MXUserDumpAndPanic(const MXUserHeader *header, const char *format, ...)
{
   header->dumpFunc(header);

   char msg[256];
   va_list args;
   va_start(args, format);
   Str_Vsnprintf(msg, sizeof msg, format, args);
   va_end(args);
   Panic("%s", msg);
}

bool
MXUserNativeInit(MXUserNativeLock *lock)
{
   lock->mutex = MXUserPlatMutexCreate();
   lock->count.store(0, std::memory_order_relaxed);
   lock->owner.store(MXUSER_NO_OWNER, std::memory_order_relaxed);
   return lock->mutex != nullptr;
}

void
MXUserNativeDestroy(MXUserNativeLock *lock)
{
   if (lock->mutex != nullptr) {
      MXUserPlatMutexDestroy(lock->mutex);
      lock->mutex = nullptr;
   }
}

namespace {

/*
 * Only the holder writes owner and count, and only the calling thread
 * ever stores its own id as the owner, so a thread that reads its own id
 * there holds the lock; relaxed loads suffice for that test.
 */
inline bool
MXUserNativeOwnedBySelf(const MXUserNativeLock *lock, MXUserThreadID self)
{
   return lock->count.load(std::memory_order_relaxed) > 0 &&
          lock->owner.load(std::memory_order_relaxed) == self;
}

inline void
MXUserNativeTaken(MXUserNativeLock *lock, MXUserThreadID self)
{
   int32_t count = lock->count.load(std::memory_order_relaxed);
   if (count == 0) {
      lock->owner.store(self, std::memory_order_relaxed);
   }
   lock->count.store(count + 1, std::memory_order_relaxed);
}

}  // namespace

void
MXUserNativeAcquire(MXUserNativeLock *lock)
{
   MXUserThreadID self = MXUserPlatThreadID();
   if (!MXUserNativeOwnedBySelf(lock, self) && !MXUserPlatMutexTryLock(lock->mutex)) {
      MXUserPlatMutexLock(lock->mutex);
   }
   MXUserNativeTaken(lock, self);
}

bool
MXUserNativeTryAcquire(MXUserNativeLock *lock)
{
   MXUserThreadID self = MXUserPlatThreadID();
   if (!MXUserNativeOwnedBySelf(lock, self) && !MXUserPlatMutexTryLock(lock->mutex)) {
      return false;
   }
   MXUserNativeTaken(lock, self);
   return true;
}

bool
MXUserNativeRelease(MXUserNativeLock *lock)
{
   if (!MXUserNativeOwnedBySelf(lock, MXUserPlatThreadID())) {
      return false;
   }
   int32_t count = lock->count.load(std::memory_order_relaxed) - 1;
   lock->count.store(count, std::memory_order_relaxed);
   if (count == 0) {
      lock->owner.store(MXUSER_NO_OWNER, std::memory_order_relaxed);
      MXUserPlatMutexUnlock(lock->mutex);
   }
   return true;
}
