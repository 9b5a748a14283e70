// Internals shared by the three kinds of user-level locks: the common
// header every lock starts with, the owner-tracking native lock under the
// exclusive and recursive locks (and the read-write emulation), and the
// fatal-misuse path.
#pragma once

#include <atomic>
#include <cstdint>

#include "lib/lock/ul.h"
#include "lib/lock/ulPlatform.h"

// Kinds, kept in the top 4 bits of a lock's signature.
constexpr uint32_t MXUSER_TYPE_RW = 1;
constexpr uint32_t MXUSER_TYPE_REC = 2;
constexpr uint32_t MXUSER_TYPE_EXCL = 4;

struct MXUserHeader;
typedef void (*MXUserDumpFunc)(const MXUserHeader *header);

struct MXUserHeader {
   uint32_t signature;  // kind and process signature; 0 once destroyed
   char *name;
   MXRank rank;
   uint32_t serialNumber;
   MXUserDumpFunc dumpFunc;
};

/*
 * A plain platform mutex with the owner and the acquisition count kept
 * beside it, so that the owner may acquire it again. Owner and count are
 * written only by the thread that holds the mutex; other threads only
 * read them (to learn that they are not the owner).
 */
struct MXUserNativeLock {
   MXUserPlatMutex *mutex;
   std::atomic<int32_t> count;             // 0 when free
   std::atomic<MXUserThreadID> owner;      // MXUSER_NO_OWNER when free
};

// The signature of a lock of the given kind in this process.
uint32_t MXUserGetSignature(uint32_t kind);
uint32_t MXUserNextSerialNumber();

/*
 * Fills in the header. A null name becomes "<prefix>-<creator>" with the
 * address of the code that created the lock.
 */
void MXUserInitHeader(MXUserHeader *header, uint32_t kind, const char *name,
                      const char *prefix, const void *creator, MXRank rank,
                      MXUserDumpFunc dumpFunc);
void MXUserFreeHeader(MXUserHeader *header);

// Dumps the lock and stops the process with the formatted message.
[[noreturn]] void MXUserDumpAndPanic(const MXUserHeader *header, const char *format, ...);

bool MXUserNativeInit(MXUserNativeLock *lock);
void MXUserNativeDestroy(MXUserNativeLock *lock);
void MXUserNativeAcquire(MXUserNativeLock *lock);
bool MXUserNativeTryAcquire(MXUserNativeLock *lock);
// False (and nothing changed) when the calling thread does not hold it.
bool MXUserNativeRelease(MXUserNativeLock *lock);

inline bool
MXUserNativeIsHeld(const MXUserNativeLock *lock)
{
   return lock->count.load(std::memory_order_relaxed) > 0;
}

/*
 * Singleton creation: returns the lock in the slot, creating one and
 * publishing it by compare-and-swap when the slot is empty. The loser of
 * a race destroys its own lock.
 */
template <typename Lock, typename Create, typename Destroy>
Lock *
MXUserSingleton(std::atomic<Lock *> *slot, Create create, Destroy destroy)
{
   Lock *lock = slot->load(std::memory_order_acquire);
   if (lock != nullptr) {
      return lock;
   }
   Lock *mine = create();
   if (mine == nullptr) {
      return slot->load(std::memory_order_acquire);
   }
   if (slot->compare_exchange_strong(lock, mine, std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
      return mine;
   }
   destroy(mine);
   return lock;
}
