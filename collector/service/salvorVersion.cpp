// The collector's --version and --help; see salvorVersion.h.
#include "collector/service/salvorVersion.h"

#include <cstdio>
#include <cstring>

#include "lib/misc/productState.h"

namespace {

const char HELP[] =
   "Usage:\n"
   "  salvor debug -s <config.xml> [-d]  collect dumps in the foreground\n"
   "  salvor -s <config.xml>             run as the service (under the service manager)\n"
   "  salvor install | uninstall         register or remove the service\n"
   "  salvor --version                   print the version\n"
   "  salvor --help                      print this text\n"
   "\n"
   "Crashed hosts stream their core dumps to the collector over UDP; each dump\n"
   "is stored as a file, one directory per host, below the data directory of\n"
   "the configuration file. See salvor(8).\n";

}  // namespace

bool
SalvorAnswerInfoOption(int argc, char **argv, int *exitCode)
{
   if (argc < 2) {
      return false;
   }
   if (std::strcmp(argv[1], "--version") == 0) {
      if (std::strcmp(ProductState_GetVersion(), ProductState_GetBuildNumber()) == 0) {
         std::printf("salvor %s\n", ProductState_GetVersion());
      } else {
         std::printf("salvor %s (%s)\n", ProductState_GetVersion(),
                     ProductState_GetBuildNumber());
      }
   } else if (std::strcmp(argv[1], "--help") == 0) {
      std::fputs(HELP, stdout);
   } else {
      return false;
   }
   *exitCode = std::fflush(stdout) == 0 ? 0 : 1;
   return true;
}
