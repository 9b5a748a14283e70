// UTF-16 copies of the tests' UTF-8 strings, for the Windows calls that
// take wide ones (Windows builds only).
#pragma once

#include <string>

namespace testutil {

// `text` in UTF-16; empty when it is not valid UTF-8.
std::wstring Wide(const std::string &text);

}  // namespace testutil
