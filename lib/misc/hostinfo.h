// Host information: who this machine is, and whether a process that wrote
// something down is still the process it was.
//
// The lock-file protocol names each locker by machine and by process; a
// locker on this machine whose process has gone (or whose process id now
// belongs to another program) is stale. Everything here is a thin layer
// over the platform (hostinfoPosix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

// Size of the machine identifier of Hostinfo_MachineID.
constexpr size_t HOSTINFO_MACHINE_ID_SIZE = 12;

/*
 * The host's UUID as text ("3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"), or
 * null when the host has none. The caller frees it.
 */
char *Hostinfo_GetHostUUID();

/*
 * A stable 12-byte identifier of this machine, for hosts without a UUID.
 * False when none can be had.
 */
bool Hostinfo_MachineID(uint8_t id[HOSTINFO_MACHINE_ID_SIZE]);

int Hostinfo_ProcessId();

/*
 * When the process started, as an opaque number that differs between two
 * processes that held the same process id one after the other. False when
 * the platform cannot tell (no such process, or no way to ask).
 */
bool Hostinfo_ProcessStartTime(int pid, uint64_t *startTime);

// Full path of the running executable (free it), or null.
char *Hostinfo_ExecutablePath();

typedef enum {
   HOSTINFO_PROCESS_QUERY_DEAD,
   HOSTINFO_PROCESS_QUERY_ALIVE,
   HOSTINFO_PROCESS_QUERY_UNKNOWN,
} HostinfoProcessQuery;

// Whether a process with this id exists on this machine.
HostinfoProcessQuery Hostinfo_QueryProcessExistence(int pid);
