// Win32 side of utilArgs.h: the wide command line, split as the C
// run-time splits it, each argument converted to UTF-8.
#include "lib/misc/utilArgs.h"

#include <cstdlib>
#include <windows.h>
#include <shellapi.h>

#include "lib/misc/win32Text.h"

namespace {

void
UtilFreeArgs(char **args, int count)
{
   for (int i = 0; i < count; i++) {
      std::free(args[i]);
   }
   std::free(args);
}

}  // namespace

bool
Util_Utf8Args(int *argc, char ***argv)
{
   int count = 0;
   wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
   if (wide == nullptr) {
      return false;
   }
   // Another count would shift every argument after the one split apart.
   char **args = count == *argc ? (char **)std::calloc((size_t)count + 1, sizeof *args)
                                : nullptr;
   bool converted = args != nullptr;
   for (int i = 0; converted && i < count; i++) {
      args[i] = Win32Text_ToUtf8(wide[i]);
      converted = args[i] != nullptr;
   }
   LocalFree(wide);
   if (!converted) {
      if (args != nullptr) {
         UtilFreeArgs(args, count);
      }
      return false;
   }
   *argv = args;
   return true;
}
