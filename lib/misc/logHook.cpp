// The log as the modules below it reach it; see logHook.h.
#include "lib/misc/logHook.h"

#include <atomic>

namespace {

constinit std::atomic<LogHookWriter> logHookWriter{nullptr};

void
LogHookWrite(int level, const char *format, va_list args)
{
   LogHookWriter writer = logHookWriter.load();
   if (writer != nullptr) {
      writer(level, format, args);
   }
}

}  // namespace

void
LogHook_SetWriter(LogHookWriter writer)
{
   logHookWriter.store(writer);
}

void
LogHook_Log(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   LogHookWrite(LOG_HOOK_INFO, format, args);
   va_end(args);
}

void
LogHook_Warning(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   LogHookWrite(LOG_HOOK_WARNING, format, args);
   va_end(args);
}
