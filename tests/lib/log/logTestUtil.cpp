#include "tests/lib/log/logTestUtil.h"

#include <cstdlib>

#include "lib/misc/platFault.h"

namespace logtest {

LogFixtureFile::LogFixtureFile(const testutil::TempDir &dir, const std::string &name)
   : path_(dir / name)
{
   Log_Exit();
   Log_ParamsDefaults(&params);
   params.fileName = path_.c_str();
   params.useTimeStamps = false;
   params.useThreadName = false;
   params.throttleBytesPerSec = LOG_NO_BPS_LIMIT;
}

LogFixtureFile::~LogFixtureFile()
{
   PlatFault_Clear();
   Log_Exit();
}

bool
LogFixtureFile::Start()
{
   return Log_Init(&params);
}

std::string
LogFixtureFile::Text() const
{
   return testutil::ReadFile(path_);
}

std::string
CurrentFileName()
{
   char *name = Log_GetFileName();
   std::string copy = name != nullptr ? name : "(none)";
   std::free(name);
   return copy;
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

std::vector<std::string>
LogFixtureFile::Lines() const
{
   return SplitLines(Text());
}

std::vector<std::string>
LogFixtureFile::BodyLines() const
{
   std::vector<std::string> body;
   for (const std::string &line : Lines()) {
      if (!IsBannerLine(line) && line.find("VThreadBase") == std::string::npos) {
         body.push_back(line);
      }
   }
   return body;
}

}  // namespace logtest
