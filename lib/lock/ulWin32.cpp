// Win32 back end of the user-level locks; see ulPlatform.h.
//
// The mutex is a critical section. The native reader-writer lock is a
// slim reader/writer lock, looked up at run time: a system without one
// has the portable code build reader-writer locks of its own.
#include "lib/lock/ulPlatform.h"

#include <cstdlib>
#include <windows.h>

struct MXUserPlatMutex {
   CRITICAL_SECTION section;  // first: the tests read its spin count
};

struct MXUserPlatRWLock {
   SRWLOCK lock;
};

namespace {

constexpr DWORD ULWIN32_SPIN_COUNT = 0x80000400;

struct MXUserSRWCalls {
   decltype(&AcquireSRWLockShared) lockShared;
   decltype(&ReleaseSRWLockShared) unlockShared;
   decltype(&AcquireSRWLockExclusive) lockExclusive;
   decltype(&ReleaseSRWLockExclusive) unlockExclusive;
   bool found;
};

template <typename Fn>
void
MXUserLookUp(HMODULE kernel, const char *name, Fn *fn)
{
   *fn = kernel == nullptr ? nullptr : (Fn)(void *)GetProcAddress(kernel, name);
}

const MXUserSRWCalls &
MXUserSRW()
{
   static const MXUserSRWCalls calls = [] {
      MXUserSRWCalls c;
      HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
      MXUserLookUp(kernel, "AcquireSRWLockShared", &c.lockShared);
      MXUserLookUp(kernel, "ReleaseSRWLockShared", &c.unlockShared);
      MXUserLookUp(kernel, "AcquireSRWLockExclusive", &c.lockExclusive);
      MXUserLookUp(kernel, "ReleaseSRWLockExclusive", &c.unlockExclusive);
      c.found = c.lockShared != nullptr && c.unlockShared != nullptr &&
                c.lockExclusive != nullptr && c.unlockExclusive != nullptr;
      return c;
   }();
   return calls;
}

}  // namespace

MXUserThreadID
MXUserPlatThreadID()
{
   return (MXUserThreadID)GetCurrentThreadId();
}

MXUserPlatMutex *
MXUserPlatMutexCreate()
{
   MXUserPlatMutex *m = (MXUserPlatMutex *)std::malloc(sizeof *m);
   if (m != nullptr) {
      // Spins 1,024 times before it sleeps, and has its wait event made
      // now (the high bit), so that a later wait cannot fail for memory.
      InitializeCriticalSectionAndSpinCount(&m->section, ULWIN32_SPIN_COUNT);
   }
   return m;
}

void
MXUserPlatMutexDestroy(MXUserPlatMutex *mutex)
{
   DeleteCriticalSection(&mutex->section);
   std::free(mutex);
}

void
MXUserPlatMutexLock(MXUserPlatMutex *mutex)
{
   EnterCriticalSection(&mutex->section);
}

bool
MXUserPlatMutexTryLock(MXUserPlatMutex *mutex)
{
   return TryEnterCriticalSection(&mutex->section) != FALSE;
}

void
MXUserPlatMutexUnlock(MXUserPlatMutex *mutex)
{
   LeaveCriticalSection(&mutex->section);
}

bool
MXUserPlatHasNativeRWLock()
{
   return MXUserSRW().found;
}

MXUserPlatRWLock *
MXUserPlatRWLockCreate()
{
   if (!MXUserSRW().found) {
      return nullptr;
   }
   MXUserPlatRWLock *l = (MXUserPlatRWLock *)std::malloc(sizeof *l);
   if (l != nullptr) {
      l->lock = SRWLOCK_INIT;  // needs no call, and no clean-up
   }
   return l;
}

void
MXUserPlatRWLockDestroy(MXUserPlatRWLock *lock)
{
   std::free(lock);
}

void
MXUserPlatRWLockShared(MXUserPlatRWLock *lock)
{
   MXUserSRW().lockShared(&lock->lock);
}

void
MXUserPlatRWUnlockShared(MXUserPlatRWLock *lock)
{
   MXUserSRW().unlockShared(&lock->lock);
}

void
MXUserPlatRWLockExclusive(MXUserPlatRWLock *lock)
{
   MXUserSRW().lockExclusive(&lock->lock);
}

void
MXUserPlatRWUnlockExclusive(MXUserPlatRWLock *lock)
{
   MXUserSRW().unlockExclusive(&lock->lock);
}

uint32_t
MXUserPlatTickCount()
{
   return (uint32_t)GetTickCount64();
}
