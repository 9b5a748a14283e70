// POSIX back end of the host utilities; see utilMiscPlatform.h.
#include "lib/misc/utilMiscPlatform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

char *
UtilPlatGetEnv(const char *name)
{
   const char *value = std::getenv(name);
   return value == nullptr ? nullptr : strdup(value);
}

bool
UtilPlatUserName(char *buf, size_t size)
{
   long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
   size_t scratchSize = hint > 0 ? (size_t)hint : 1024;
   for (int tries = 0; tries < 8; tries++, scratchSize *= 2) {
      char *scratch = (char *)std::malloc(scratchSize);
      if (scratch == nullptr) {
         return false;
      }
      struct passwd pw;
      struct passwd *found = nullptr;
      int err = getpwuid_r(geteuid(), &pw, scratch, scratchSize, &found);
      bool ok = err == 0 && found != nullptr && std::strlen(pw.pw_name) <= UTIL_USER_NAME_MAX &&
                std::strlen(pw.pw_name) < size;
      if (ok) {
         std::strcpy(buf, pw.pw_name);
      }
      std::free(scratch);
      if (err != ERANGE) {
         return ok;
      }
   }
   return false;
}
