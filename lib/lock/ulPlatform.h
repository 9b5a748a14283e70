// Platform layer of the user-level locks: a plain mutex, a native
// reader-writer lock, the calling thread's id and a millisecond clock.
// The portable lock code keeps owners and counts itself and needs nothing
// more from the platform than this.
#pragma once

#include <cstdint>

struct MXUserPlatMutex;
struct MXUserPlatRWLock;

typedef int64_t MXUserThreadID;
constexpr MXUserThreadID MXUSER_NO_OWNER = -1;

// The calling thread's platform id; cheap enough for every acquisition.
MXUserThreadID MXUserPlatThreadID();

// Null when the platform cannot make the lock.
MXUserPlatMutex *MXUserPlatMutexCreate();
void MXUserPlatMutexDestroy(MXUserPlatMutex *mutex);
void MXUserPlatMutexLock(MXUserPlatMutex *mutex);
bool MXUserPlatMutexTryLock(MXUserPlatMutex *mutex);
void MXUserPlatMutexUnlock(MXUserPlatMutex *mutex);

// Whether the platform offers a native reader-writer lock at all.
bool MXUserPlatHasNativeRWLock();
MXUserPlatRWLock *MXUserPlatRWLockCreate();
void MXUserPlatRWLockDestroy(MXUserPlatRWLock *lock);
void MXUserPlatRWLockShared(MXUserPlatRWLock *lock);
void MXUserPlatRWUnlockShared(MXUserPlatRWLock *lock);
void MXUserPlatRWLockExclusive(MXUserPlatRWLock *lock);
void MXUserPlatRWUnlockExclusive(MXUserPlatRWLock *lock);

// Milliseconds from an arbitrary fixed point, wrapping at 32 bits.
uint32_t MXUserPlatTickCount();
