// Dating a lock directory's entry back, on POSIX; see fileLockTestUtil.h.
#include <sys/time.h>

#include "fileLockTestUtil.h"

bool
DateBack(const std::string &path, int seconds)
{
   struct timeval times[2];
   gettimeofday(&times[0], nullptr);
   times[0].tv_sec -= seconds;
   times[1] = times[0];
   return utimes(path.c_str(), times) == 0;
}
