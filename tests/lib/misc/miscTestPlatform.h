// What the thread-identity and expansion tests need to know of the
// platform they run on: ids the library reports and the user's name.
#pragma once

#include <cstdint>
#include <string>

namespace misctest {

// The platform's id of the calling thread, as a fallback name shows it.
uint64_t ThreadId();
unsigned ProcessId();
// The name of the user the process runs as, in UTF-8.
std::string UserName();

}  // namespace misctest
