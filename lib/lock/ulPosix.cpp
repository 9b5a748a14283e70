// POSIX back end of the user-level locks; see ulPlatform.h.
#include "lib/lock/ulPlatform.h"
#include "lib/misc/clock.h"

#include <cstdlib>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

struct MXUserPlatMutex {
   pthread_mutex_t mutex;
};

struct MXUserPlatRWLock {
   pthread_rwlock_t lock;
};

MXUserThreadID
MXUserPlatThreadID()
{
   static thread_local MXUserThreadID self = (MXUserThreadID)syscall(SYS_gettid);
   return self;
}

MXUserPlatMutex *
MXUserPlatMutexCreate()
{
   MXUserPlatMutex *m = (MXUserPlatMutex *)std::malloc(sizeof *m);
   if (m == nullptr) {
      return nullptr;
   }
   if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
      std::free(m);
      return nullptr;
   }
   return m;
}

void
MXUserPlatMutexDestroy(MXUserPlatMutex *mutex)
{
   pthread_mutex_destroy(&mutex->mutex);
   std::free(mutex);
}

void
MXUserPlatMutexLock(MXUserPlatMutex *mutex)
{
   pthread_mutex_lock(&mutex->mutex);
}

bool
MXUserPlatMutexTryLock(MXUserPlatMutex *mutex)
{
   return pthread_mutex_trylock(&mutex->mutex) == 0;
}

void
MXUserPlatMutexUnlock(MXUserPlatMutex *mutex)
{
   pthread_mutex_unlock(&mutex->mutex);
}

bool
MXUserPlatHasNativeRWLock()
{
   return true;
}

MXUserPlatRWLock *
MXUserPlatRWLockCreate()
{
   MXUserPlatRWLock *l = (MXUserPlatRWLock *)std::malloc(sizeof *l);
   if (l == nullptr) {
      return nullptr;
   }
   if (pthread_rwlock_init(&l->lock, nullptr) != 0) {
      std::free(l);
      return nullptr;
   }
   return l;
}

void
MXUserPlatRWLockDestroy(MXUserPlatRWLock *lock)
{
   pthread_rwlock_destroy(&lock->lock);
   std::free(lock);
}

void
MXUserPlatRWLockShared(MXUserPlatRWLock *lock)
{
   pthread_rwlock_rdlock(&lock->lock);
}

void
MXUserPlatRWUnlockShared(MXUserPlatRWLock *lock)
{
   pthread_rwlock_unlock(&lock->lock);
}

void
MXUserPlatRWLockExclusive(MXUserPlatRWLock *lock)
{
   pthread_rwlock_wrlock(&lock->lock);
}

void
MXUserPlatRWUnlockExclusive(MXUserPlatRWLock *lock)
{
   pthread_rwlock_unlock(&lock->lock);
}

uint32_t
MXUserPlatTickCount()
{
   return (uint32_t)(Clock_MonotonicUsec() / 1000);
}
