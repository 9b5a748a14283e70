// Which paths the advisory locks take elsewhere, on Windows: a physical
// disk of the device namespace, "\\.\PhysicalDrive<n>" in any case, is
// locked as "pd<n>". The path is taken as given: it has no directory to
// make absolute, and nothing is asked of the device.
#include <cstring>
#include <string>

#include "lib/file/fileLockInt.h"

bool
FileLockDeviceName(const char *path, std::string *rest)
{
   static const char drivePrefix[] = "\\\\.\\PhysicalDrive";
   size_t prefixLen = sizeof drivePrefix - 1;
   if (path == nullptr || _strnicmp(path, drivePrefix, prefixLen) != 0) {
      return false;
   }
   *rest = path + prefixLen;
   return true;
}
