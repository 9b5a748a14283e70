// Read-write user-level locks; see ul.h.
//
// The platform's reader-writer lock does the work where there is one;
// otherwise readers and writers alike take an owner-tracking exclusive
// lock. Either way every thread's holding is kept in a table keyed by the
// thread's number, so that a second acquisition or a release without one
// is caught.
#include <cstdlib>
#include <new>

#include "lib/lock/ulInt.h"
#include "lib/misc/logHook.h"
#include "lib/misc/panic.h"
#include "lib/misc/vthreadBase.h"

namespace {

enum MXUserHolderState : int32_t {
   RW_UNLOCKED = 0,
   RW_LOCKED_FOR_READ = 1,
   RW_LOCKED_FOR_WRITE = 2,
};

constexpr unsigned MXUSER_HOLDER_BUCKETS = 256;

// One thread's holding. Entries are only added (by compare-and-swap at
// the head of their bucket) and live as long as the lock.
struct MXUserHolder {
   uint32_t threadID;
   std::atomic<int32_t> state;
   MXUserHolder *next;
};

struct MXUserHolderTable {
   std::atomic<MXUserHolder *> buckets[MXUSER_HOLDER_BUCKETS];
};

// Whether the platform's reader-writer lock is there: -1 not yet asked.
std::atomic<int> nativeRWAvailable{-1};
std::atomic<bool> forceEmulation{false};

bool
MXUserUseNativeRW()
{
   int known = nativeRWAvailable.load(std::memory_order_acquire);
   if (known < 0) {
      known = MXUserPlatHasNativeRWLock() ? 1 : 0;
      nativeRWAvailable.store(known, std::memory_order_release);
   }
   return known == 1 && !forceEmulation.load(std::memory_order_relaxed);
}

}  // namespace

struct MXUserRWLock {
   MXUserHeader header;
   bool useNativeRW;
   MXUserPlatRWLock *nativeLock;     // null in emulation
   MXUserNativeLock recursiveLock;   // the emulation; always there
   std::atomic<int32_t> holderCount;
   MXUserHolderTable *holderTable;
};

namespace {

void
MXUserDumpRWLock(const MXUserHeader *header)
{
   const MXUserRWLock *lock = (const MXUserRWLock *)header;

   LogHook_Warning("%s: Read-write lock @ 0x%p\n", "MXUserDumpRWLock", lock);
   LogHook_Warning("\tsignature 0x%X\n", header->signature);
   LogHook_Warning("\tname %s\n", header->name);
   LogHook_Warning("\trank 0x%X\n", header->rank);
   LogHook_Warning("\tserial number %u\n", header->serialNumber);
   if (lock->useNativeRW) {
      LogHook_Warning("\taddress of native lock 0x%p\n", lock->nativeLock);
   } else {
      LogHook_Warning("\tcount %d\n", lock->recursiveLock.count.load(std::memory_order_relaxed));
   }
   LogHook_Warning("\tholderCount %d\n", lock->holderCount.load(std::memory_order_relaxed));
}

MXUserHolder *
MXUserGetHolder(MXUserRWLock *lock)
{
   uint32_t self = VThread_CurID();
   std::atomic<MXUserHolder *> &bucket =
      lock->holderTable->buckets[self % MXUSER_HOLDER_BUCKETS];

   MXUserHolder *head = bucket.load(std::memory_order_acquire);
   for (MXUserHolder *h = head; h != nullptr; h = h->next) {
      if (h->threadID == self) {
         return h;
      }
   }
   // Nobody else adds an entry for this thread, so a lost race at the
   // head only means another thread's entry went in first.
   MXUserHolder *mine = new (Util_SafeMalloc(sizeof(MXUserHolder))) MXUserHolder;
   mine->threadID = self;
   mine->state.store(RW_UNLOCKED, std::memory_order_relaxed);
   mine->next = head;
   while (!bucket.compare_exchange_weak(mine->next, mine, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
   }
   return mine;
}

void
MXUserFreeHolderTable(MXUserHolderTable *table)
{
   for (std::atomic<MXUserHolder *> &bucket : table->buckets) {
      MXUserHolder *h = bucket.load(std::memory_order_relaxed);
      while (h != nullptr) {
         MXUserHolder *next = h->next;
         h->~MXUserHolder();
         std::free(h);
         h = next;
      }
   }
   table->~MXUserHolderTable();
   std::free(table);
}

MXUserRWLock *
MXUserCreateRWLock(const char *name, MXRank rank, const void *creator)
{
   MXUserRWLock *lock = new (Util_SafeMalloc(sizeof(MXUserRWLock))) MXUserRWLock;
   lock->useNativeRW = MXUserUseNativeRW();
   lock->nativeLock = nullptr;
   if (!MXUserNativeInit(&lock->recursiveLock)) {
      lock->~MXUserRWLock();
      std::free(lock);
      return nullptr;
   }
   if (lock->useNativeRW) {
      lock->nativeLock = MXUserPlatRWLockCreate();
      if (lock->nativeLock == nullptr) {
         MXUserNativeDestroy(&lock->recursiveLock);
         lock->~MXUserRWLock();
         std::free(lock);
         return nullptr;
      }
   }
   lock->holderCount.store(0, std::memory_order_relaxed);
   lock->holderTable =
      new (Util_SafeMalloc(sizeof(MXUserHolderTable))) MXUserHolderTable;
   for (std::atomic<MXUserHolder *> &bucket : lock->holderTable->buckets) {
      bucket.store(nullptr, std::memory_order_relaxed);
   }
   MXUserInitHeader(&lock->header, MXUSER_TYPE_RW, name,
                    lock->useNativeRW ? "RW" : "RWemul", creator, rank, MXUserDumpRWLock);
   return lock;
}

const char *
MXUserKindName(int32_t state)
{
   return state == RW_LOCKED_FOR_READ ? "Read" : "Write";
}

void
MXUserAcquisition(MXUserRWLock *lock, bool forRead)
{
   MXUserHolder *holder = MXUserGetHolder(lock);
   int32_t held = holder->state.load(std::memory_order_relaxed);
   if (held != RW_UNLOCKED) {
      MXUserDumpAndPanic(&lock->header, "%s: AcquireFor%s after AcquireFor%s\n",
                         "MXUserAcquisition", forRead ? "Read" : "Write",
                         MXUserKindName(held));
   }
   if (lock->useNativeRW) {
      if (forRead) {
         MXUserPlatRWLockShared(lock->nativeLock);
      } else {
         MXUserPlatRWLockExclusive(lock->nativeLock);
      }
   } else {
      MXUserNativeAcquire(&lock->recursiveLock);
   }
   lock->holderCount.fetch_add(1, std::memory_order_relaxed);
   holder->state.store(forRead ? RW_LOCKED_FOR_READ : RW_LOCKED_FOR_WRITE,
                       std::memory_order_relaxed);
}

}  // namespace

void
MXUser_ForceRWEmulation(bool force)
{
   forceEmulation.store(force, std::memory_order_relaxed);
}

MXUserRWLock *
MXUser_CreateRWLock(const char *name, MXRank rank)
{
   return MXUserCreateRWLock(name, rank, __builtin_return_address(0));
}

MXUserRWLock *
MXUser_CreateSingletonRWLock(std::atomic<MXUserRWLock *> *slot,
                             const char *name, MXRank rank)
{
   const void *creator = __builtin_return_address(0);
   return MXUserSingleton(
      slot, [&] { return MXUserCreateRWLock(name, rank, creator); },
      MXUser_DestroyRWLock);
}

void
MXUser_AcquireForRead(MXUserRWLock *lock)
{
   MXUserAcquisition(lock, true);
}

void
MXUser_AcquireForWrite(MXUserRWLock *lock)
{
   MXUserAcquisition(lock, false);
}

void
MXUser_ReleaseRWLock(MXUserRWLock *lock)
{
   MXUserHolder *holder = MXUserGetHolder(lock);
   int32_t held = holder->state.load(std::memory_order_relaxed);
   if (held == RW_UNLOCKED) {
      bool acquired = lock->holderCount.load(std::memory_order_relaxed) != 0;
      MXUserDumpAndPanic(&lock->header, "%s: Non-owner release of an %s read-write lock\n",
                         "MXUser_ReleaseRWLock", acquired ? "acquired" : "unacquired");
   }
   lock->holderCount.fetch_sub(1, std::memory_order_relaxed);
   if (lock->useNativeRW) {
      if (held == RW_LOCKED_FOR_READ) {
         MXUserPlatRWUnlockShared(lock->nativeLock);
      } else {
         MXUserPlatRWUnlockExclusive(lock->nativeLock);
      }
   } else {
      MXUserNativeRelease(&lock->recursiveLock);
   }
   holder->state.store(RW_UNLOCKED, std::memory_order_relaxed);
}

void
MXUser_DestroyRWLock(MXUserRWLock *lock)
{
   if (lock == nullptr) {
      return;
   }
   if (lock->holderCount.load(std::memory_order_relaxed) != 0) {
      MXUserDumpAndPanic(&lock->header, "%s: Destroy on an acquired read-write lock\n",
                         "MXUser_DestroyRWLock");
   }
   MXUserFreeHeader(&lock->header);
   MXUserNativeDestroy(&lock->recursiveLock);
   if (lock->nativeLock != nullptr) {
      MXUserPlatRWLockDestroy(lock->nativeLock);
   }
   MXUserFreeHolderTable(lock->holderTable);
   lock->~MXUserRWLock();
   std::free(lock);
}
