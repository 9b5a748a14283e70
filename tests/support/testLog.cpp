#include "tests/support/testLog.h"

#include "lib/log/log.h"

namespace testutil {

bool
StartLogEchoingToStderr(const std::string &path)
{
   Log_Exit();
   LogParams params;
   Log_ParamsDefaults(&params);
   params.fileName = path.c_str();
   params.append = true;
   params.carryOver = false;
   params.stderrMinLevel = 145;
   params.throttleBytesPerSec = LOG_NO_BPS_LIMIT;
   return Log_Init(&params);
}

}  // namespace testutil
