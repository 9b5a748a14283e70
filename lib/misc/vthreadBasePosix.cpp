// POSIX back end of thread identity; see vthreadBasePlatform.h.
#include "lib/misc/vthreadBasePlatform.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "lib/misc/hostinfo.h"
#include "lib/misc/utilScoped.h"
#include "lib/string/str.h"

static_assert(sizeof(pthread_key_t) <= sizeof(uint32_t), "key must fit 32 bits");

bool
VThreadPlatKeyCreate(uint32_t *key, void (*destructor)(void *))
{
   pthread_key_t k;
   if (pthread_key_create(&k, destructor) != 0) {
      return false;
   }
   *key = (uint32_t)k;
   return true;
}

void
VThreadPlatKeyDelete(uint32_t key)
{
   pthread_key_delete((pthread_key_t)key);
}

void *
VThreadPlatGetValue(uint32_t key)
{
   return pthread_getspecific((pthread_key_t)key);
}

bool
VThreadPlatSetValue(uint32_t key, void *value)
{
   return pthread_setspecific((pthread_key_t)key, value) == 0;
}

VThreadPlatID
VThreadPlatThreadID()
{
   static thread_local VThreadPlatID self = (VThreadPlatID)syscall(SYS_gettid);
   return self;
}

bool
VThreadPlatThreadExited(VThreadPlatID id)
{
   UtilSavedError saved;
   return syscall(SYS_tgkill, (long)Hostinfo_ProcessId(), (long)id, 0L) != 0 && errno == ESRCH;
}

void
VThreadPlatSetNativeName(const char *name)
{
   // The kernel keeps at most 15 bytes.
   char shortName[16];
   Str_Snprintf(shortName, sizeof shortName, "%s", name);
   pthread_setname_np(pthread_self(), shortName);
}
