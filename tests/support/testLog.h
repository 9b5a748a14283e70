// Starts the log for a test process so that every line is also echoed,
// unprefixed, to standard error, where tests and death tests read it.
#pragma once

#include <string>

namespace testutil {

// Starts the log on path (appending), echoing all levels to stderr.
bool StartLogEchoingToStderr(const std::string &path);
// The same without a file: lines reach stderr only (for death tests,
// whose children leave nothing behind).
bool EchoLogToStderr();

}  // namespace testutil
