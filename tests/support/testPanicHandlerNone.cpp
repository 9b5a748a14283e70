// For builds without the fatal path (lib/coreDump): a panic under test
// ends the process with the library's default handling.
#include "tests/support/testLog.h"

namespace testutil {

void
InstallPanicHandler()
{
}

}  // namespace testutil
