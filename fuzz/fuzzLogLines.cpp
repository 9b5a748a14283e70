// Fuzzes the log's line splitting and prefixing: the input's first byte
// picks the level and the route, the rest is a sequence of messages
// separated by NUL bytes, each logged as "%s" so that a message that does
// not end with a newline leaves the next one mid-line. Messages go to a
// log file, or through the pending ring (as while the log is busy) and
// then out with the next flush. The file is emptied for every input.
#include "fuzz/fuzzTmp.h"
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/log/log.h"
#include "lib/log/logInt.h"

namespace {

const int LEVELS[] = {100, 105, 110, 115, 120, 125, 130, 135, 140, 145, 999};

void
StartLog()
{
   static bool started = false;
   if (started) {
      return;
   }
   std::string dirTemplate = FuzzTempTemplate("salvorFuzzLog");
   char *dir = dirTemplate.data();
   if (mkdtemp(dir) == nullptr) {
      std::abort();
   }
   static std::string path = std::string(dir) + "/fuzz.log";
   LogParams params;
   Log_ParamsDefaults(&params);
   params.fileName = path.c_str();
   params.appName = "fuzz";
   params.appVersion = "0";
   params.useTimeStamps = true;
   params.useMilliseconds = true;
   params.useThreadName = true;
   params.logMinLevel = 145;
   params.stderrMinLevel = -1;
   params.throttleBytesPerSec = LOG_NO_BPS_LIMIT;
   params.rotateSize = 0;
   if (!Log_Init(&params)) {
      std::abort();
   }
   started = true;
}

void LogAt(int level, const char *format, ...) PRINTF_DECL(2, 3);

void
LogAt(int level, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   LogV(level, format, args);
   va_end(args);
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size == 0 || size > 100000) {
      return 0;
   }
   StartLog();
   if (logState.fd >= 0 && ftruncate(logState.fd, 0) != 0) {
      std::abort();
   }
   int level = LEVELS[(data[0] & 0x0f) % (sizeof LEVELS / sizeof LEVELS[0])];
   bool throughRing = (data[0] & 0x10) != 0;
   logState.useTimeStamps = (data[0] & 0x20) != 0;
   logState.useThreadName = (data[0] & 0x40) != 0;
   logState.useLevelDesignator = (data[0] & 0x80) != 0;

   std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
   size_t at = 0;
   while (at <= rest.size()) {
      size_t end = rest.find('\0', at);
      if (end == std::string::npos) {
         end = rest.size();
      }
      std::string message = rest.substr(at, end - at);
      if (throughRing) {
         // A message logged while the log lock is held further up waits
         // in the ring: one level of holding, as the output path has.
         logState.lockDepth = 1;
      }
      if (level == 110) {
         Warning("%s", message.c_str());
      } else if (level == 120) {
         Log("%s", message.c_str());
      } else {
         LogAt(level, "%s", message.c_str());
      }
      logState.lockDepth = 0;
      at = end + 1;
   }
   Log_FlushPending();
   return 0;
}
