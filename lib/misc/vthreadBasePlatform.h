// Platform layer of thread identity: one thread-local slot, the platform's
// thread ids and whether such a thread has exited.
#pragma once

#include <cstdint>

// A platform thread id; 0 is never one.
typedef int64_t VThreadPlatID;

// Creates the slot; destructor runs with a thread's non-null value when
// the thread exits. False when no slot can be had.
bool VThreadPlatKeyCreate(uint32_t *key, void (*destructor)(void *));
void VThreadPlatKeyDelete(uint32_t key);
void *VThreadPlatGetValue(uint32_t key);
bool VThreadPlatSetValue(uint32_t key, void *value);

VThreadPlatID VThreadPlatThreadID();
// True when the thread is known to have ended (not a thread of ours any more).
bool VThreadPlatThreadExited(VThreadPlatID id);
// Tells the platform the thread's name, for debuggers; may shorten it.
void VThreadPlatSetNativeName(const char *name);
