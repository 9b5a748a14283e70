// Thread identity; see vthreadBase.h.
#include "lib/misc/vthreadBase.h"

#include <pthread.h>

#include "lib/string/str.h"

namespace {
thread_local char threadName[VTHREAD_NAME_MAX + 1];
}

void
VThread_SetName(const char *name)
{
   Str_Snprintf(threadName, sizeof threadName, "%s", name);
   // The kernel keeps at most 15 bytes; it is only a debugging aid there.
   char shortName[16];
   Str_Snprintf(shortName, sizeof shortName, "%s", name);
   pthread_setname_np(pthread_self(), shortName);
}

const char *
VThread_CurName()
{
   return threadName;
}
