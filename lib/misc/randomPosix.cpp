// POSIX back end of Random_Crypto: the kernel's random source.
#include "lib/misc/randomPlatform.h"

#include <cerrno>
#include <sys/random.h>

#include "lib/misc/platFaultPosix.h"
#include "lib/misc/utilScoped.h"

bool
RandomPlatFill(size_t count, void *buffer)
{
   char *at = (char *)buffer;
   while (count > 0) {
      ssize_t n = Util_RetryOnEintr([&]() -> ssize_t {
         size_t want = count;
         return PlatFault_Allowed(PLAT_RANDOM, &want) ? getrandom(at, want, 0) : -1;
      });
      if (n < 0) {
         return false;
      }
      if (n == 0) {
         return false;
      }
      // A read of the blocking pool may return fewer bytes when a
      // signal arrives; go on with the rest.
      at += n;
      count -= (size_t)n;
   }
   return true;
}
