// Advisory lock files: locks on a path that cooperating processes honour
// without any operating-system lock.
#pragma once

#include <cstdint>

struct FileLockToken;

/*
 * Takes a shared (readOnly) or exclusive lock on path, waiting at most
 * msecMaxWait milliseconds. Returns the token, or null with *err set to an
 * errno-style code (0: the wait ran out while someone else held the lock).
 */
FileLockToken *FileLock_Lock(const char *path, bool readOnly,
                             uint32_t msecMaxWait, int *err);
// Releases a lock; returns 0 or an errno-style code. The token is gone in
// either case.
int FileLock_Unlock(FileLockToken *token);
