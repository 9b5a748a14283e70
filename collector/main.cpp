// The collector's process entry.
#include "collector/salvorMain.h"

int
main(int argc, char **argv)
{
   return SalvorWin32_Main(argc, argv);
}
