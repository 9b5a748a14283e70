// Win32 side of utilArgs.h: the wide command line, split by the system's
// rule, each argument converted to UTF-8.
#include "lib/misc/utilArgs.h"

#include <cstdlib>
#include <windows.h>
#include <shellapi.h>

#include "lib/misc/utilScoped.h"
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
   UtilLocalPtr<wchar_t *> wide(CommandLineToArgvW(GetCommandLineW(), &count));
   if (wide == nullptr) {
      return false;
   }
   // The wide split alone counts, whatever the run-time's narrow split
   // made of the same line: mixing the two would shift every argument.
   char **args = (char **)std::calloc((size_t)count + 1, sizeof *args);
   bool converted = args != nullptr;
   for (int i = 0; converted && i < count; i++) {
      args[i] = Win32Text_ToUtf8(wide.get()[i]);
      converted = args[i] != nullptr;
   }
   wide.reset();
   if (!converted) {
      if (args != nullptr) {
         UtilFreeArgs(args, count);
      }
      return false;
   }
   *argc = count;
   *argv = args;
   return true;
}
