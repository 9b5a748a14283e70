// Exclusive user-level locks; see ul.h.
#include "lib/lock/ul.h"

#include <mutex>
#include <string>

struct MXUserExclLock {
   std::string name;
   MXRank rank;
   std::mutex mutex;
};

MXUserExclLock *
MXUser_CreateExclLock(const char *name, MXRank rank)
{
   return new MXUserExclLock{name, rank, {}};
}

MXUserExclLock *
MXUser_CreateSingletonExclLock(std::atomic<MXUserExclLock *> *slot,
                               const char *name, MXRank rank)
{
   MXUserExclLock *lock = slot->load(std::memory_order_acquire);
   if (lock == nullptr) {
      MXUserExclLock *mine = MXUser_CreateExclLock(name, rank);
      if (slot->compare_exchange_strong(lock, mine, std::memory_order_acq_rel)) {
         lock = mine;
      } else {
         MXUser_DestroyExclLock(mine);
      }
   }
   return lock;
}

void
MXUser_AcquireExclLock(MXUserExclLock *lock)
{
   lock->mutex.lock();
}

void
MXUser_ReleaseExclLock(MXUserExclLock *lock)
{
   lock->mutex.unlock();
}

void
MXUser_DestroyExclLock(MXUserExclLock *lock)
{
   delete lock;
}
