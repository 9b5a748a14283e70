// The full fatal path; see fatalPath.h.
#include "lib/coreDump/fatalPath.h"

#include <cstdint>
#include <cstdlib>

#include "lib/coreDump/coreDump.h"
#include "lib/log/log.h"
#include "lib/misc/panic.h"
#include "lib/misc/productState.h"
#include "lib/misc/vthreadBase.h"
#include "lib/user/msg.h"

namespace {

// Build-time settings of the fatal path.
constexpr bool panicPostsMessage = true;
constexpr bool panicWritesMinidump = true;

// Tells the user what happened and where the evidence is.
void
FatalPathPostMessage(const char *msg)
{
   const char *threadName = VThread_CurName();
   Msg_Append(MSG_MAGIC "(msg.log.error.unrecoverable)%s%s unrecoverable error: (%s)\n%s",
              Msg_Present() ? "\n" : "", ProductState_GetName(), threadName, msg);
   char *logFile = Log_GetFileName();
   if (logFile != nullptr) {
      Msg_Append(MSG_MAGIC "(msg.panic.haveLog)A log file is available in \"%s\".  ", logFile);
      std::free(logFile);
   }
   Msg_Append(MSG_MAGIC "(msg.panic.requestSupport.withoutLog)You can request support.  ");
   Msg_Append(MSG_MAGIC "(msg.panic.requestSupport.collector)To do so, send the log file and "
              "any core image named in it to the team that runs this collector.  ");
   Msg_FatalFollows();
   Msg_Post(MSG_ERROR, MSG_MAGIC "(msg.panic.response)We will respond on the basis of your "
            "support entitlement.\n");
}

void
FatalPathHandle(const char *msg, int32_t entry)
{
   Log_DisableThrottling();
   if (entry > 1) {
      // Panic ends the process itself; the log hears of the loop once.
      if (entry == 2) {
         Log("%s", msg);
         Log("Panic loop\n");
      }
      return;
   }
   Log("%s", msg);
   Log("Backtrace:\n");
   CoreDump_Backtrace();
   Log_SetAlwaysKeep(true);
   if (panicWritesMinidump) {
      CoreDump_CoreDump();
   }
   if (panicPostsMessage) {
      FatalPathPostMessage(msg);
   }
   Log("Exiting\n");
}

}  // namespace

void
CoreDump_InstallPanicHandler()
{
   Panic_SetHandler(FatalPathHandle);
}
