// A log started on a file in a temporary directory for one test, and the
// lines it wrote, with or without the banner.
#pragma once

#include <string>
#include <vector>

#include "lib/log/log.h"
#include "tests/support/testFiles.h"

namespace logtest {

class LogFixtureFile {
public:
   // Defaults, no time stamps or thread names unless asked, on dir/test.log.
   explicit LogFixtureFile(const testutil::TempDir &dir, const std::string &name = "test.log");
   ~LogFixtureFile();

   LogParams params;
   bool Start();
   const std::string &path() const { return path_; }
   std::string Text() const;
   std::vector<std::string> Lines() const;         // every line, without "\n"
   std::vector<std::string> BodyLines() const;     // without the banner's lines

private:
   std::string path_;
};

std::vector<std::string> SplitLines(const std::string &text);
// Log_GetFileName() as a string; "(none)" when there is no file.
std::string CurrentFileName();
bool IsBannerLine(const std::string &line);

}  // namespace logtest
