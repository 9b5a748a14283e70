// The collector's process entry.
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "collector/service/salvorMain.h"
#include "collector/service/salvorVersion.h"
#include "collector/platform/salvorPlat.h"
#include "lib/coreDump/fatalPath.h"
#include "lib/misc/platFault.h"
#include "lib/misc/utilArgs.h"

int
main(int argc, char **argv)
{
   // First of all, so that a panic leaves its evidence from the start.
   CoreDump_InstallPanicHandler();
   // The configuration path may name any directory (Windows: not only
   // those of the ANSI code page).
   Util_Utf8Args(&argc, &argv);
   int exitCode = 0;
   if (SalvorAnswerInfoOption(argc, argv, &exitCode)) {
      return exitCode;
   }
   SalvorPlat_IgnoreBrokenPipe();
   // The host's character set for the banner and the preference files.
   std::setlocale(LC_CTYPE, "");
   // Lets end-to-end tests make platform calls fail (a full disk, ...).
   const char *faults = std::getenv("SALVOR_PLATFORM_FAULTS");
   if (faults != nullptr && !PlatFault_ArmFromText(faults)) {
      std::fprintf(stderr, "salvor: cannot read SALVOR_PLATFORM_FAULTS=%s\n", faults);
      return SALVOR_EXIT_USAGE;
   }
   return SalvorWin32_Main(argc, argv);
}
