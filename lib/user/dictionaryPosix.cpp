// Platform layer of the dictionary on POSIX systems; see dictionaryPlatform.h.
#include "lib/user/dictionaryPlatform.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/misc/platFaultPosix.h"
#include "lib/misc/utilScoped.h"

DictionaryPlatOpen
DictionaryPlat_Open(const char *path, int *fd, int *err)
{
   *fd = -1;
   *err = 0;
   // Non-blocking, so that a FIFO without a writer does not hold us here.
   UtilFd d(PlatFault_Allowed(PLAT_OPEN) ? ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1);
   if (!d) {
      *err = errno;
      return DICTPLAT_OPEN_FAILED;
   }
   struct stat st;
   if (!PlatFault_Allowed(PLAT_STAT) || ::fstat(d.Get(), &st) != 0) {
      *err = errno;
      return DICTPLAT_STAT_FAILED;
   }
   if (S_ISDIR(st.st_mode)) {
      return DICTPLAT_IS_DIRECTORY;
   }
   if (!S_ISREG(st.st_mode)) {
      return DICTPLAT_NOT_REGULAR;
   }
   int flags = ::fcntl(d.Get(), F_GETFL);
   if (flags >= 0) {
      ::fcntl(d.Get(), F_SETFL, flags & ~O_NONBLOCK);
   }
   *fd = d.Take();
   return DICTPLAT_OK;
}

long
DictionaryPlat_Read(void *fd, void *buf, size_t size)
{
   if (!PlatFault_Allowed(PLAT_READ)) {
      return -1;
   }
   return (long)::read(*static_cast<int *>(fd), buf, size);
}

void
DictionaryPlat_Close(int fd)
{
   ::close(fd);
}

int
DictionaryPlat_StdinFd()
{
   return STDIN_FILENO;
}

namespace {

// The locale name LC_CTYPE takes from the environment.
std::string
DictionaryPosixCtypeName()
{
   for (const char *var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char *value = std::getenv(var);
      if (value != nullptr && *value != '\0') {
         return value;
      }
   }
   return "C";
}

}  // namespace

/*
 * A service is often started with no locale at all, which is the C
 * locale, whose codeset is ASCII: the files it reads are UTF-8 all the
 * same, so the C and POSIX locales (and a locale that is not installed,
 * which falls back to them) count as UTF-8.
 */
const char *
DictionaryPlat_HostEncoding()
{
   // A private locale object: the process's own locale is left alone.
   static std::once_flag once;
   static std::string codeset;
   std::call_once(once, [] {
      std::string name = DictionaryPosixCtypeName();
      locale_t loc = ::newlocale(LC_CTYPE_MASK, name.c_str(), (locale_t)0);
      if (loc != (locale_t)0 && name != "C" && name != "POSIX") {
         codeset = ::nl_langinfo_l(CODESET, loc);
      }
      if (loc != (locale_t)0) {
         ::freelocale(loc);
      }
      if (codeset.empty()) {
         codeset = "UTF-8";
      }
   });
   return codeset.c_str();
}

const char *
DictionaryPlat_ErrorText(int err, char *buf, size_t size)
{
   return ::strerror_r(err, buf, size);
}
