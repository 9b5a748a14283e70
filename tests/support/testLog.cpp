// The log as the tests see it; see testLog.h.
#include "tests/support/testLog.h"

#include "lib/misc/platFault.h"

namespace testutil {

namespace {

bool
StartEchoing(const char *path)
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
   InstallPanicHandler();
   return started;
}

}  // namespace

LogCapture::LogCapture() : dir_(std::make_unique<TempDir>()), path_(*dir_ / "test.log")
{
   Prepare();
   Start();
}

LogCapture::LogCapture(const std::string &path) : path_(path)
{
   Prepare();
}

void
LogCapture::Prepare()
{
   // A capture replaces whatever log the process had.
   Log_Exit();
   Log_ParamsDefaults(&params);
   params.fileName = path_.c_str();
   params.useTimeStamps = false;
   params.useThreadName = false;
   params.useLevelDesignator = false;
   params.throttleBytesPerSec = LOG_NO_BPS_LIMIT;
}

LogCapture::~LogCapture()
{
   PlatFault_Clear();
   Log_Exit();
}

bool
LogCapture::Start()
{
   bool started = Log_Init(&params);
   // A panic under test then leaves its lines and core image as in a program.
   InstallPanicHandler();
   return started;
}

void
LogCapture::Throttle(uint32_t threshold, uint32_t bytesPerSec)
{
   Log_Exit();
   params.throttleThreshold = threshold;
   params.throttleBytesPerSec = bytesPerSec;
   Start();
}

std::string
LogCapture::Text() const
{
   return ReadFile(path_);
}

bool
LogCapture::Contains(const std::string &needle) const
{
   return Text().find(needle) != std::string::npos;
}

size_t
LogCapture::Count(const std::string &needle) const
{
   std::string all = Text();
   size_t n = 0;
   for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) {
      n++;
   }
   return n;
}

std::vector<std::string>
LogCapture::Lines() const
{
   return SplitLines(Text());
}

std::vector<std::string>
LogCapture::BodyLines() const
{
   std::vector<std::string> body;
   for (const std::string &line : Lines()) {
      if (!IsBannerLine(line) && line.find("VThreadBase") == std::string::npos) {
         body.push_back(line);
      }
   }
   return body;
}

std::vector<std::string>
SplitLines(const std::string &text)
{
   std::vector<std::string> lines;
   size_t at = 0;
   while (at < text.size()) {
      size_t nl = text.find('\n', at);
      if (nl == std::string::npos) {
         lines.push_back(text.substr(at));
         break;
      }
      lines.push_back(text.substr(at, nl - at));
      at = nl + 1;
   }
   return lines;
}

bool
IsBannerLine(const std::string &line)
{
   for (const char *mark : {"Log for ", "The process is ", "Host codepage=", "Host is ",
                            "Log creation time is "}) {
      if (line.find(mark) != std::string::npos) {
         return true;
      }
   }
   return false;
}

bool
StartLogEchoingToStderr(const std::string &path)
{
   return StartEchoing(path.c_str());
}

bool
EchoLogToStderr()
{
   return StartEchoing(nullptr);
}

}  // namespace testutil
