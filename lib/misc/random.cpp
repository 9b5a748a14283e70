// Cryptographically strong random bytes; see random.h.
#include "lib/misc/random.h"

#include "lib/misc/randomPlatform.h"

bool
Random_Crypto(size_t count, void *buffer)
{
   if (count == 0) {
      return true;
   }
   return RandomPlatFill(count, buffer);
}
