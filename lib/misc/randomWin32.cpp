// Win32 back end of Random_Crypto: the system's preferred random source.
#include "lib/misc/randomPlatform.h"

#include <windows.h>
#include <bcrypt.h>

#include "lib/misc/platFaultWin32.h"

bool
RandomPlatFill(size_t count, void *buffer)
{
   unsigned char *at = (unsigned char *)buffer;
   while (count > 0) {
      // One call takes at most a ULONG's worth.
      size_t want = count < 0x40000000u ? count : 0x40000000u;
      if (!PlatFault_Allowed(PLAT_RANDOM, &want)) {
         return false;
      }
      if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, at, (ULONG)want,
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
         return false;
      }
      at += want;
      count -= want;
   }
   return true;
}
