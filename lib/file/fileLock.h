// Advisory lock files: shared and exclusive locks on a path that
// cooperating processes (on one machine or on several sharing a file
// system) honour without any operating-system lock.
//
// A lock on P lives in the directory P.lck: each locker draws a number by
// creating an entry directory "Dnnnnn.lck", writes its 512-byte member
// record as "Ennnnn.lck", takes a ticket one above every member it sees,
// publishes the record as "Mnnnnn.lck" and then waits for every earlier
// conflicting member to leave. Members of dead processes on this machine,
// and entries abandoned half-way, are cleaned out by whoever scans next.
#pragma once

#include <cstdint>

struct FileLockToken;
struct MsgList;

// Wait budget that never runs out.
constexpr uint32_t FILELOCK_WAIT_FOREVER = 0xFFFFFFFF;

/*
 * Takes a shared (readOnly) or exclusive lock on path, waiting at most
 * msecMaxWait milliseconds (0: not at all; FILELOCK_WAIT_FOREVER). Returns
 * the token, with *err 0; or null with *err an errno-style code, 0 meaning
 * that the wait ran out while others held the lock. A failure also
 * appends a message to *msgs when msgs is given.
 */
FileLockToken *FileLock_Acquire(const char *path, bool readOnly,
                                uint32_t msecMaxWait, int *err,
                                MsgList **msgs);

/*
 * Gives the lock back and frees the token. False with *err set (and a
 * message appended to *msgs when given) when the member file could not be
 * removed.
 */
bool FileLock_Release(FileLockToken *token, int *err, MsgList **msgs);

// Whether the token stands for a shared lock granted without a member
// file (the lock directory could not be written).
bool FileLock_IsImplicit(const FileLockToken *token);
