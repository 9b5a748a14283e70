// The fatal path's panic handler for the tests; see testLog.h.
#include "lib/coreDump/fatalPath.h"
#include "tests/support/testLog.h"

namespace testutil {

void
InstallPanicHandler()
{
   CoreDump_InstallPanicHandler();
}

}  // namespace testutil
