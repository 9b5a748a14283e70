// Recursive user-level locks; see ul.h.
//
// Every operation holds a reference on the lock while it runs, and the
// creator holds one until it destroys the lock, so that the lock is freed
// by whoever drops the last reference.
#include <cstdlib>
#include <new>

#include "lib/lock/ulInt.h"
#include "lib/misc/logHook.h"
#include "lib/misc/panic.h"

struct MXUserRecLock {
   MXUserHeader header;
   MXUserNativeLock recursiveLock;
   std::atomic<uint32_t> refCount;
};

namespace {

void
MXUserDumpRecLock(const MXUserHeader *header)
{
   const MXUserRecLock *lock = (const MXUserRecLock *)header;

   LogHook_Warning("%s: Recursive lock @ %p\n", "MXUserDumpRecLock", lock);
   LogHook_Warning("\tsignature 0x%X\n", header->signature);
   LogHook_Warning("\tname %s\n", header->name);
   LogHook_Warning("\trank 0x%X\n", header->rank);
   LogHook_Warning("\tserial number %u\n", header->serialNumber);
   LogHook_Warning("\treference count %u\n", lock->refCount.load(std::memory_order_relaxed));
   LogHook_Warning("\tcount %d\n", lock->recursiveLock.count.load(std::memory_order_relaxed));
   LogHook_Warning("\taddress of owner data %p\n", &lock->recursiveLock.owner);
}

MXUserRecLock *
MXUserCreateRecLock(const char *name, MXRank rank, const void *creator)
{
   MXUserRecLock *lock = new (Util_SafeMalloc(sizeof(MXUserRecLock))) MXUserRecLock;
   if (!MXUserNativeInit(&lock->recursiveLock)) {
      lock->~MXUserRecLock();
      std::free(lock);
      return nullptr;
   }
   lock->refCount.store(1, std::memory_order_relaxed);
   MXUserInitHeader(&lock->header, MXUSER_TYPE_REC, name, "R", creator, rank,
                    MXUserDumpRecLock);
   return lock;
}

// Drops one reference; the last one frees the lock.
void
MXUserCondDestroyRecLock(MXUserRecLock *lock)
{
   if (lock->refCount.fetch_sub(1, std::memory_order_acq_rel) != 1) {
      return;
   }
   if (MXUserNativeIsHeld(&lock->recursiveLock)) {
      MXUserDumpAndPanic(&lock->header, "%s: Destroy of an acquired recursive lock\n",
                         "MXUserCondDestroyRecLock");
   }
   MXUserFreeHeader(&lock->header);
   MXUserNativeDestroy(&lock->recursiveLock);
   lock->~MXUserRecLock();
   std::free(lock);
}

// Drops the reference an acquisition held while it ran.
inline void
MXUserRecLockDone(MXUserRecLock *lock, const char *operation)
{
   if (lock->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      MXUserDumpAndPanic(&lock->header, "%s: Zero reference count upon exit\n", operation);
   }
}

}  // namespace

MXUserRecLock *
MXUser_CreateRecLock(const char *name, MXRank rank)
{
   return MXUserCreateRecLock(name, rank, __builtin_return_address(0));
}

MXUserRecLock *
MXUser_CreateSingletonRecLock(std::atomic<MXUserRecLock *> *slot,
                              const char *name, MXRank rank)
{
   const void *creator = __builtin_return_address(0);
   return MXUserSingleton(
      slot, [&] { return MXUserCreateRecLock(name, rank, creator); },
      MXUser_DestroyRecLock);
}

void
MXUser_AcquireRecLock(MXUserRecLock *lock)
{
   lock->refCount.fetch_add(1, std::memory_order_relaxed);
   MXUserNativeAcquire(&lock->recursiveLock);
   MXUserRecLockDone(lock, "MXUser_AcquireRecLock");
}

bool
MXUser_TryAcquireRecLock(MXUserRecLock *lock)
{
   lock->refCount.fetch_add(1, std::memory_order_relaxed);
   bool acquired = MXUserNativeTryAcquire(&lock->recursiveLock);
   MXUserRecLockDone(lock, "MXUser_TryAcquireRecLock");
   return acquired;
}

void
MXUser_ReleaseRecLock(MXUserRecLock *lock)
{
   lock->refCount.fetch_add(1, std::memory_order_relaxed);
   if (!MXUserNativeRelease(&lock->recursiveLock)) {
      MXUserDumpAndPanic(&lock->header, "%s: Non-owner release of a recursive lock\n",
                         "MXUser_ReleaseRecLock");
   }
   MXUserCondDestroyRecLock(lock);
}

void
MXUser_DestroyRecLock(MXUserRecLock *lock)
{
   if (lock != nullptr) {
      MXUserCondDestroyRecLock(lock);
   }
}
