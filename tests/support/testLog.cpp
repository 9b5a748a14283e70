#include "tests/support/testLog.h"

#include "lib/coreDump/fatalPath.h"
#include "lib/log/log.h"

namespace testutil {

namespace {

bool
Start(const char *path)
{
   Log_Exit();
   LogParams params;
   Log_ParamsDefaults(&params);
   params.fileName = path;
   params.append = true;
   params.carryOver = false;
   params.stderrMinLevel = 145;
   params.throttleBytesPerSec = LOG_NO_BPS_LIMIT;
   bool started = Log_Init(&params);
   CoreDump_InstallPanicHandler();
   return started;
}

}  // namespace

bool
StartLogEchoingToStderr(const std::string &path)
{
   return Start(path.c_str());
}

bool
EchoLogToStderr()
{
   return Start(nullptr);
}

}  // namespace testutil
