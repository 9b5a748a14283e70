// The failure seam as the POSIX back ends consult it: an armed call sets
// errno, as the real call would, and is reported as not allowed.
#pragma once

#include <cerrno>

#include "lib/misc/platFault.h"

inline bool
PlatFault_Allowed(PlatCall call, size_t *len = nullptr, intptr_t handle = -1)
{
   int err = PlatFault_Check(call, len, handle);
   if (err != 0) {
      errno = err;
      return false;
   }
   return true;
}
