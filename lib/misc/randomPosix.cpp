// POSIX back end of Random_Crypto: the kernel's random source.
#include "lib/misc/randomPlatform.h"

#include <cerrno>
#include <sys/random.h>

#include "lib/misc/platFaultPosix.h"

bool
RandomPlatFill(size_t count, void *buffer)
{
   char *at = (char *)buffer;
   while (count > 0) {
      size_t want = count;
      ssize_t n;
      if (!PlatFault_Allowed(PLAT_RANDOM, &want)) {
         n = -1;
      } else {
         n = getrandom(at, want, 0);
      }
      if (n < 0) {
         if (errno == EINTR) {
            continue;
         }
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
