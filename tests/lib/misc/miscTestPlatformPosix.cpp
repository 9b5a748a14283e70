// POSIX side of miscTestPlatform.h.
#include "tests/lib/misc/miscTestPlatform.h"

#include <pwd.h>
#include <unistd.h>

namespace misctest {

uint64_t
ThreadId()
{
   return (uint64_t)gettid();
}

unsigned
ProcessId()
{
   return (unsigned)getpid();
}

std::string
UserName()
{
   struct passwd *pw = getpwuid(geteuid());
   return pw != nullptr ? pw->pw_name : "";
}

}  // namespace misctest
