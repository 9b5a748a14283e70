// Thread identity: every thread has a name that log lines carry.
#pragma once

constexpr int VTHREAD_NAME_MAX = 31;  // bytes, without the NUL

void VThread_SetName(const char *name);
// The calling thread's name; valid until the thread renames itself.
const char *VThread_CurName();
