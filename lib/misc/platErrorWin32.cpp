// Win32 back end of platError.h: the system's error codes.
#include "lib/misc/platError.h"

#include <windows.h>

bool
PlatError_IsBrokenPipe(int64_t error)
{
   return error == ERROR_BROKEN_PIPE;
}
