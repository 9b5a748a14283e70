#include "tests/lib/log/logTestUtil.h"

#include <cstdlib>

#include "lib/log/log.h"

namespace logtest {

std::string
CurrentFileName()
{
   char *name = Log_GetFileName();
   std::string copy = name != nullptr ? name : "(none)";
   std::free(name);
   return copy;
}

}  // namespace logtest
