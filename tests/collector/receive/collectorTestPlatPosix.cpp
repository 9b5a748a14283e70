// The collector tests' platform details on POSIX: '/', strerror and "\n".
#include "tests/collector/receive/collectorTestPlat.h"

#include <cerrno>
#include <cstring>

namespace testutil {

std::string
CollectorPath(const std::string &path)
{
   return path;
}

std::string
ErrnoText(int err)
{
   return std::strerror(err);
}

std::string
NameTakenText()
{
   return std::strerror(EEXIST);
}

const char *const TEXT_LINE_END = "\n";

}  // namespace testutil
