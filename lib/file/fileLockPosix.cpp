// Which paths the advisory locks take elsewhere, on POSIX: a block device
// under /dev ("/dev/sda" is locked as "pda", "/dev/mapper/root" as
// "pdmapper_root"), found by its absolute path.
#include <cstring>
#include <string>

#include "lib/file/file.h"
#include "lib/file/fileLockInt.h"
#include "lib/file/filePlatform.h"
#include "lib/misc/utilScoped.h"

bool
FileLockDeviceName(const char *path, std::string *rest)
{
   UtilCString full(File_FullPath(path));
   static const char devPrefix[] = "/dev/";
   size_t prefixLen = sizeof devPrefix - 1;
   if (full == nullptr || std::strncmp(full.get(), devPrefix, prefixLen) != 0 ||
       full.get()[prefixLen] == '\0' || !FilePlat_IsBlockDevice(full.get())) {
      return false;
   }
   // One level of name: the directories below /dev flattened.
   *rest = full.get() + prefixLen;
   for (char &c : *rest) {
      if (c == '/') {
         c = '_';
      }
   }
   return true;
}
