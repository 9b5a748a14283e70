// User-level locks: named and ranked locks that guard the libraries'
// process-wide state.
//
// Three kinds: exclusive (a holder may re-acquire it; each acquisition
// needs its release), recursive (reference-counted, so that it is freed
// only once its creator destroyed it and no operation is under way) and
// read-write. Every lock records its name, rank, serial number and owner
// for diagnostics. Misuse (destroying a held lock, releasing a read-write
// lock the thread does not hold, acquiring a read-write lock twice) logs
// the lock's state and stops the process through Panic.
//
// A singleton lock is created on first use and installed in its slot by
// compare-and-swap, so that two threads racing to create it share one.
#pragma once

#include <atomic>
#include <cstdint>

#include "lib/misc/utilScoped.h"

typedef uint32_t MXRank;

struct MXUserExclLock;
struct MXUserRecLock;
struct MXUserRWLock;

// Exclusive locks. Creation returns null only when the platform lock
// cannot be made; a null name generates "X-<address of the creator>".
MXUserExclLock *MXUser_CreateExclLock(const char *name, MXRank rank);
MXUserExclLock *MXUser_CreateSingletonExclLock(std::atomic<MXUserExclLock *> *slot,
                                               const char *name, MXRank rank);
void MXUser_AcquireExclLock(MXUserExclLock *lock);
void MXUser_ReleaseExclLock(MXUserExclLock *lock);
void MXUser_DestroyExclLock(MXUserExclLock *lock);  // null is ignored

// Recursive locks.
MXUserRecLock *MXUser_CreateRecLock(const char *name, MXRank rank);
MXUserRecLock *MXUser_CreateSingletonRecLock(std::atomic<MXUserRecLock *> *slot,
                                             const char *name, MXRank rank);
void MXUser_AcquireRecLock(MXUserRecLock *lock);
bool MXUser_TryAcquireRecLock(MXUserRecLock *lock);
void MXUser_ReleaseRecLock(MXUserRecLock *lock);
void MXUser_DestroyRecLock(MXUserRecLock *lock);  // null is ignored

// Read-write locks: the platform's native reader-writer lock where there
// is one, else an emulation on an exclusive lock (readers exclude each
// other).
MXUserRWLock *MXUser_CreateRWLock(const char *name, MXRank rank);
MXUserRWLock *MXUser_CreateSingletonRWLock(std::atomic<MXUserRWLock *> *slot,
                                           const char *name, MXRank rank);
void MXUser_AcquireForRead(MXUserRWLock *lock);
void MXUser_AcquireForWrite(MXUserRWLock *lock);
void MXUser_ReleaseRWLock(MXUserRWLock *lock);
void MXUser_DestroyRWLock(MXUserRWLock *lock);  // null is ignored

// A lock held for a scope (see UtilHeld), the usual way to take one.
using MXUserExclHeld = UtilHeld<MXUserExclLock, MXUser_AcquireExclLock, MXUser_ReleaseExclLock>;
using MXUserRecHeld = UtilHeld<MXUserRecLock, MXUser_AcquireRecLock, MXUser_ReleaseRecLock>;
using MXUserReadHeld = UtilHeld<MXUserRWLock, MXUser_AcquireForRead, MXUser_ReleaseRWLock>;
using MXUserWriteHeld = UtilHeld<MXUserRWLock, MXUser_AcquireForWrite, MXUser_ReleaseRWLock>;

// For tests: read-write locks created from now on use the emulation even
// where the platform has a native reader-writer lock (false: as usual).
void MXUser_ForceRWEmulation(bool force);
