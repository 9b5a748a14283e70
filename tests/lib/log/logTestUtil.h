// What the log library's tests need beyond the shared log capture
// (tests/support/testLog.h).
#pragma once

#include <string>

namespace logtest {

// Log_GetFileName() as a string; "(none)" when there is no file.
std::string CurrentFileName();

}  // namespace logtest
