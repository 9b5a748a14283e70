// Settings of the operations features; see salvorOpsConfig.h.
#include "collector/startup/salvorOpsConfig.h"

SalvorOpsConfigRecord SalvorOpsConfig = {"", SALVOR_DEFAULT_HOOK_TIMEOUT_SEC, 0, 0, 0, "", 0};

void
SalvorOpsConfigReset()
{
   SalvorOpsConfig = SalvorOpsConfigRecord{"", SALVOR_DEFAULT_HOOK_TIMEOUT_SEC, 0, 0, 0, "", 0};
}
