// Fatal errors of the libraries; see panic.h.
#include "lib/misc/panic.h"
#include "lib/misc/productState.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "lib/coreDump/coreDump.h"
#include "lib/log/log.h"
#include "lib/misc/vthreadBase.h"
#include "lib/string/str.h"
#include "lib/user/msg.h"

namespace {


// Build-time settings of the fatal path.
constexpr bool panicPostsMessage = true;
constexpr bool panicWritesMinidump = true;

// How many times Panic has been entered, by any thread.
std::atomic<int32_t> panicCount{0};

[[noreturn]] void
AllocFailure(int bugNr, const char *file, int line)
{
   if (bugNr == -1) {
      Panic("Unrecoverable memory allocation failure at %s:%d\n", file, line);
   }
   Panic("Unrecoverable memory allocation failure at %s:%d.  Bug number: %d\n",
         file, line, bugNr);
}

// Tells the user what happened and where the evidence is.
void
PanicPostMessage(const char *msg)
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

}  // namespace

void
Panic(const char *format, ...)
{
   char msg[1024];
   va_list args;
   va_start(args, format);
   Str_Vsnprintf(msg, sizeof msg, format, args);
   va_end(args);

   // There is no debugger output channel on this platform: standard error only.
   std::fputs(msg, stderr);
   Log_DisableThrottling();

   int32_t count = ++panicCount;
   if (count > 1) {
      if (count == 2) {
         Log("%s", msg);
         Log("Panic loop\n");
      }
      std::fputs("Panic loop\n", stderr);
      _exit(1);
   }

   Log("%s", msg);
   Log("Backtrace:\n");
   CoreDump_Backtrace();
   Log_SetAlwaysKeep(true);
   if (panicWritesMinidump) {
      CoreDump_CoreDump();
   }
   if (panicPostsMessage) {
      PanicPostMessage(msg);
   }
   Log("Exiting\n");
   std::exit(-1);
}

void *
MustMalloc(int bugNr, size_t size, const char *file, int line)
{
   void *p = std::malloc(size);
   if (p == nullptr && size != 0) {
      AllocFailure(bugNr, file, line);
   }
   return p;
}

void *
MustCalloc(int bugNr, size_t count, size_t size, const char *file, int line)
{
   void *p = std::calloc(count, size);
   if (p == nullptr && count != 0 && size != 0) {
      AllocFailure(bugNr, file, line);
   }
   return p;
}

void *
MustRealloc(int bugNr, void *block, size_t size, const char *file, int line)
{
   void *p = std::realloc(block, size);
   if (p == nullptr && size != 0) {
      AllocFailure(bugNr, file, line);
   }
   return p;
}

char *
MustStrdup(int bugNr, const char *text, const char *file, int line)
{
   if (text == nullptr) {
      return nullptr;
   }
   char *p = strdup(text);
   if (p == nullptr) {
      AllocFailure(bugNr, file, line);
   }
   return p;
}

char *
MustStrndup(int bugNr, const char *bytes, size_t length, const char *file, int line)
{
   if (bytes == nullptr) {
      return nullptr;
   }
   char *p = strndup(bytes, length);
   if (p == nullptr) {
      AllocFailure(bugNr, file, line);
   }
   return p;
}
