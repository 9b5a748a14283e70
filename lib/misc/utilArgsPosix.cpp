// POSIX side of utilArgs.h: the arguments are the bytes given.
#include "lib/misc/utilArgs.h"

bool
Util_Utf8Args(int *argc, char ***argv)
{
   (void)argc;
   (void)argv;
   return true;
}
