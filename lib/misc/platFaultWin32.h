// The failure seam as the Win32 back ends consult it: an armed call
// leaves, as the real call would, the Windows error that stands for the
// armed errno as the thread's last error (and the errno itself, for the
// portable code that reads it), and is reported as not allowed.
#pragma once

#include <cerrno>
#include <windows.h>

#include "lib/misc/platFault.h"

// The Windows error a failing call would leave for an errno that tests arm.
inline DWORD
PlatFaultWin32Error(int err)
{
   if ((err & PLAT_FAULT_WIN32_CODE) != 0) {
      return (DWORD)(err & ~PLAT_FAULT_WIN32_CODE);
   }
   switch (err) {
   case ENOENT: return ERROR_FILE_NOT_FOUND;
   case EACCES: return ERROR_ACCESS_DENIED;
   case EPERM: return ERROR_ACCESS_DENIED;
   case EBUSY: return ERROR_SHARING_VIOLATION;
   case EEXIST: return ERROR_ALREADY_EXISTS;
   case ENOSPC: return ERROR_DISK_FULL;
   case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
   case EBADF: return ERROR_INVALID_HANDLE;
   case EINVAL: return ERROR_INVALID_PARAMETER;
   case EIO: return ERROR_GEN_FAILURE;
   case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
   case EAGAIN: return WSAEWOULDBLOCK;
   case EINTR: return WSAEINTR;
   case EADDRINUSE: return WSAEADDRINUSE;
   case ECONNREFUSED: return WSAECONNREFUSED;
   case EMSGSIZE: return WSAEMSGSIZE;
   case ENOBUFS: return WSAENOBUFS;
   case EMFILE: return WSAEMFILE;
   default: return ERROR_GEN_FAILURE;
   }
}

inline bool
PlatFault_Allowed(PlatCall call, size_t *len = nullptr, intptr_t handle = -1)
{
   int err = PlatFault_Check(call, len, handle);
   if (err != 0) {
      errno = (err & PLAT_FAULT_WIN32_CODE) != 0 ? EIO : err;
      SetLastError(PlatFaultWin32Error(err));
      return false;
   }
   return true;
}
