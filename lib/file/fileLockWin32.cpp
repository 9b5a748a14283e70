// Which paths the advisory locks take elsewhere, on Windows: a physical
// disk of the device namespace, "\\.\PhysicalDrive<n>" in any case with
// <n> decimal digits only, is locked as "pd<n>". The path is taken as
// given: it has no directory to make absolute, and nothing is asked of
// the device.
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
   // The disk's number and nothing else: "\\.\PhysicalDrive0\..\x" or a
   // name with more after the number is no disk, and is locked as a path.
   const char *number = path + prefixLen;
   if (*number == '\0' || std::strspn(number, "0123456789") != std::strlen(number)) {
      return false;
   }
   *rest = number;
   return true;
}
