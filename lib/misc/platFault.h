// Failure seam of the platform layer.
//
// Every platform call of the POSIX back end asks PlatFault_Check before it
// runs; a test can arm a call so that it fails with a chosen errno (disk
// full, access denied, a busy file standing in for a sharing violation),
// or, for writes and sends, so that it moves fewer bytes than asked.
// Unarmed, the check is one relaxed atomic load.
#pragma once

#include <cstddef>
#include <cstdint>

enum PlatCall {
   PLAT_OPEN,
   PLAT_READ,
   PLAT_WRITE,
   PLAT_SEEK,
   PLAT_CLOSE,
   PLAT_RENAME,
   PLAT_UNLINK,
   PLAT_MKDIR,
   PLAT_RMDIR,
   PLAT_STAT,
   PLAT_LISTDIR,
   PLAT_SOCKET,
   PLAT_BIND,
   PLAT_CONNECT,
   PLAT_SELECT,
   PLAT_RECVFROM,
   PLAT_SENDTO,
   PLAT_RANDOM,
   PLAT_PTRACE,    // tracing the process's own threads for a core image
   PLAT_REGISTRY,  // writing the system's registry (Windows)
   PLAT_SERVICE,   // opening the service manager or a service, changing a registration
   PLAT_CALL_COUNT
};

/*
 * An error armed as a Windows error code itself (a Winsock code, say)
 * rather than through the errno that stands for one: the Win32 back ends
 * leave the code as the thread's last error and map it as they map the
 * real call's. The POSIX back ends never see one.
 */
constexpr int PLAT_FAULT_WIN32_CODE = 0x40000000;
constexpr int
PlatFault_Win32Code(unsigned long code)
{
   return PLAT_FAULT_WIN32_CODE | (int)code;
}

/*
 * Arms `call`: after `skip` further calls pass, the next `count` calls
 * (-1: every one) fail with `err`. With `shortBytes` > 0 the first of them,
 * a write or send, moves at most that many bytes instead of failing, as
 * on a disk that fills up in the middle of a write.
 */
void PlatFault_Inject(PlatCall call, int err, int skip = 0, int count = 1,
                      long shortBytes = -1);
// Clears every armed fault and the observer.
void PlatFault_Clear();

/*
 * Has observer(call) run at the start of every check of the back end,
 * before the call it guards, so that a test can act in the middle of an
 * operation (open a file of its own, say). Null removes it. The observer
 * must not arm faults.
 */
void PlatFault_SetObserver(void (*observer)(PlatCall call));

/*
 * Confines the faults and the observer to the calls made on the given
 * handles (file descriptors on POSIX; at most PLAT_FAULT_MAX_HANDLES), so
 * that a test can fail or count the writes of its files whatever else the
 * process writes: a call on another handle passes untouched, while calls
 * that work on no handle (an open, a rename) are still checked. No
 * handles lift the limit, as PlatFault_Clear does.
 */
constexpr size_t PLAT_FAULT_MAX_HANDLES = 8;
void PlatFault_LimitTo(const intptr_t *handles, size_t count);

/*
 * Called by the back end, with the handle the call works on when it has
 * one (-1 otherwise). Returns the errno to fail with, or 0. For a short
 * transfer it returns 0 and lowers *len.
 */
int PlatFault_Check(PlatCall call, size_t *len = nullptr, intptr_t handle = -1);

/*
 * Arms faults from a text such as "write:28:skip=10:count=1;sendto:11",
 * for the collector started as a process by end-to-end tests (read from
 * the SALVOR_PLATFORM_FAULTS environment variable at start).
 */
bool PlatFault_ArmFromText(const char *text);
