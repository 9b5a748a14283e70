// The collector tests' platform details on Windows: backslashes, the
// system's words for Windows errors, and "\r\n".
#include "tests/collector/receive/collectorTestPlat.h"

#include <algorithm>

#include "lib/file/file.h"
#include "lib/misc/platFaultWin32.h"

namespace testutil {

std::string
CollectorPath(const std::string &path)
{
   std::string native = path;
   std::replace(native.begin(), native.end(), '/', '\\');
   return native;
}

std::string
ErrnoText(int err)
{
   return File_ErrorText((int)PlatFaultWin32Error(err));
}

std::string
NameTakenText()
{
   // What CreateFileW says of a taken name, which the opens below a
   // directory handle say too.
   return File_ErrorText(ERROR_FILE_EXISTS);
}

const char *const TEXT_LINE_END = "\r\n";

}  // namespace testutil
