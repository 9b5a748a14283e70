// Thread identity: every thread has a small process-unique number and a
// name that log lines carry.
//
// A thread gets its identity the first time it asks: the lowest number
// whose thread has exited, else the next new one (from 3 on), and the
// name "vthread-<number>". Reading the name or the number of a thread that
// has its identity takes no lock and allocates nothing.
#pragma once

#include <cstdint>

constexpr int VTHREAD_NAME_MAX = 31;  // bytes, without the NUL

// Names the calling thread (assigning it an identity first if needed);
// longer names are cut to VTHREAD_NAME_MAX bytes.
void VThread_SetName(const char *name);
// The calling thread's name; valid until the thread renames itself. While
// another thread is being given an identity, a thread without one is
// called "host-<platform thread id>" and gets its own identity later.
const char *VThread_CurName();
// The calling thread's number (assigning it an identity first if needed).
uint32_t VThread_CurID();

// For tests: the next identity assignment calls hook while it is under way.
void VThread_SetAssignHookForTest(void (*hook)());
