// Fuzzes the log's line splitting and prefixing: the input's first byte
// picks the level and the route, the rest is a sequence of messages
// separated by NUL bytes, each logged as "%s" so that a message that does
// not end with a newline leaves the next one mid-line. Messages go to a
// log file, or through the pending ring (as while the log is busy) and
// then out with the next flush. The file is emptied for every input.
//
// A message that starts with the byte 0x01 is a repeat: the byte after it
// gives its length in units of 160 bytes, the rest is the text repeated to
// that length ("x" when there is none). All the repeats of an input grow
// by at most 40,960 bytes together, more than the log's buffers and its
// ring hold: a short input thus still reaches a cut message and a ring
// that overflows, and no input costs much more than that.
#include "fuzz/fuzzTmp.h"
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/log/log.h"
#include "lib/log/logInt.h"

namespace {

const int LEVELS[] = {100, 105, 110, 115, 120, 125, 130, 135, 140, 145, 999};
constexpr char REPEAT = '\x01';
constexpr size_t REPEAT_UNIT = 160;
constexpr size_t REPEAT_BUDGET = 40960;

// The message as logged: a repeat grows to its length, within what is
// left of the input's budget.
std::string
Expand(const std::string &message, size_t *budget)
{
   if (message.size() < 2 || message[0] != REPEAT) {
      return message;
   }
   size_t length = (size_t)(uint8_t)message[1] * REPEAT_UNIT;
   length = length < *budget ? length : *budget;
   *budget -= length;
   std::string out = message.size() > 2 ? message.substr(2) : std::string("x");
   if (length == 0) {
      return std::string();
   }
   out.reserve(length);
   while (out.size() < length) {
      out.append(out, 0, std::min(out.size(), length - out.size()));
   }
   out.resize(length);
   return out;
}

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
   size_t budget = REPEAT_BUDGET;
   while (at <= rest.size()) {
      size_t end = rest.find('\0', at);
      if (end == std::string::npos) {
         end = rest.size();
      }
      std::string message = Expand(rest.substr(at, end - at), &budget);
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
