// POSIX back end of platError.h: errno values.
#include "lib/misc/platError.h"

#include <cerrno>

bool
PlatError_IsBrokenPipe(int64_t error)
{
   return error == EPIPE;
}
