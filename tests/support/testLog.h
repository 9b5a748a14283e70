// The library's log as the tests see it: a capture on a file that a test
// reads back, and a log that echoes every line to standard error, where
// death tests read it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "tests/support/testFiles.h"

namespace testutil {

/*
 * The log on a file, read back. The lines are bare (no time stamp, thread
 * name or level designator) and nothing is throttled unless params say
 * otherwise. Ending the capture ends the log.
 */
class LogCapture {
public:
   // On test.log of a temporary directory of its own, started at once.
   LogCapture();
   // On path, not started: adjust params, then Start().
   explicit LogCapture(const std::string &path);
   ~LogCapture();
   LogCapture(const LogCapture &) = delete;
   LogCapture &operator=(const LogCapture &) = delete;

   LogParams params;
   // Starts the log on the file with params (Log_Init as it is).
   bool Start();
   // Starts the log again with the throttle set.
   void Throttle(uint32_t threshold, uint32_t bytesPerSec);

   const std::string &Path() const { return path_; }
   std::string Text() const;
   bool Contains(const std::string &needle) const;
   size_t Count(const std::string &needle) const;
   std::vector<std::string> Lines() const;      // every line, without "\n"
   std::vector<std::string> BodyLines() const;  // without the banner's lines

private:
   void Prepare();

   std::unique_ptr<TempDir> dir_;  // when the capture chose the file
   std::string path_;
};

std::vector<std::string> SplitLines(const std::string &text);
bool IsBannerLine(const std::string &line);

/*
 * Has a panic leave its lines and core image as in a program, where the
 * build has the fatal path (lib/coreDump); otherwise does nothing.
 */
void InstallPanicHandler();

// Starts the log on path (appending), echoing all levels to stderr.
bool StartLogEchoingToStderr(const std::string &path);
// The same without a file: lines reach stderr only (for death tests,
// whose children leave nothing behind).
bool EchoLogToStderr();

}  // namespace testutil
