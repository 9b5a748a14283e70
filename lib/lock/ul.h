// User-level locks: named and ranked, for the libraries.
//
// An exclusive lock may be held by one thread at a time. A lock created
// as a singleton is installed in its slot by compare-and-swap, so that two
// threads racing to create it end up sharing one.
#pragma once

#include <atomic>
#include <cstdint>

typedef uint32_t MXRank;

struct MXUserExclLock;

MXUserExclLock *MXUser_CreateExclLock(const char *name, MXRank rank);
MXUserExclLock *MXUser_CreateSingletonExclLock(std::atomic<MXUserExclLock *> *slot,
                                               const char *name, MXRank rank);
void MXUser_AcquireExclLock(MXUserExclLock *lock);
void MXUser_ReleaseExclLock(MXUserExclLock *lock);
void MXUser_DestroyExclLock(MXUserExclLock *lock);
