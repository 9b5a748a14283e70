// Exclusive user-level locks; see ul.h.
#include <cstdlib>
#include <new>

#include "lib/lock/ulInt.h"
#include "lib/misc/logHook.h"
#include "lib/misc/panic.h"

struct MXUserExclLock {
   MXUserHeader header;
   MXUserNativeLock recursiveLock;
};

namespace {

void
MXUserDumpExclLock(const MXUserHeader *header)
{
   const MXUserExclLock *lock = (const MXUserExclLock *)header;

   LogHook_Warning("%s: Exclusive lock @ %p\n", "MXUserDumpExclLock", lock);
   LogHook_Warning("\tsignature 0x%X\n", header->signature);
   LogHook_Warning("\tname %s\n", header->name);
   LogHook_Warning("\trank 0x%X\n", header->rank);
   LogHook_Warning("\tserial number %u\n", header->serialNumber);
   LogHook_Warning("\tcount %d\n", lock->recursiveLock.count.load(std::memory_order_relaxed));
   LogHook_Warning("\taddress of owner data %p\n", &lock->recursiveLock.owner);
}

MXUserExclLock *
MXUserCreateExclLock(const char *name, MXRank rank, const void *creator)
{
   MXUserExclLock *lock = new (Util_SafeMalloc(sizeof(MXUserExclLock))) MXUserExclLock;
   if (!MXUserNativeInit(&lock->recursiveLock)) {
      lock->~MXUserExclLock();
      std::free(lock);
      return nullptr;
   }
   MXUserInitHeader(&lock->header, MXUSER_TYPE_EXCL, name, "X", creator, rank,
                    MXUserDumpExclLock);
   return lock;
}

}  // namespace

MXUserExclLock *
MXUser_CreateExclLock(const char *name, MXRank rank)
{
   return MXUserCreateExclLock(name, rank, __builtin_return_address(0));
}

MXUserExclLock *
MXUser_CreateSingletonExclLock(std::atomic<MXUserExclLock *> *slot,
                               const char *name, MXRank rank)
{
   const void *creator = __builtin_return_address(0);
   return MXUserSingleton(
      slot, [&] { return MXUserCreateExclLock(name, rank, creator); },
      MXUser_DestroyExclLock);
}

void
MXUser_AcquireExclLock(MXUserExclLock *lock)
{
   MXUserNativeAcquire(&lock->recursiveLock);
}

void
MXUser_ReleaseExclLock(MXUserExclLock *lock)
{
   if (!MXUserNativeRelease(&lock->recursiveLock)) {
      MXUserDumpAndPanic(&lock->header, "%s: Non-owner release of an exclusive lock\n",
                         "MXUser_ReleaseExclLock");
   }
}

void
MXUser_DestroyExclLock(MXUserExclLock *lock)
{
   if (lock == nullptr) {
      return;
   }
   if (MXUserNativeIsHeld(&lock->recursiveLock)) {
      MXUserDumpAndPanic(&lock->header, "%s: Destroy of an acquired exclusive lock\n",
                         "MXUser_DestroyExclLock");
   }
   MXUserFreeHeader(&lock->header);
   MXUserNativeDestroy(&lock->recursiveLock);
   lock->~MXUserExclLock();
   std::free(lock);
}
