// The product's identity; see productState.h. Nothing in this program
// changes it, so the values are constants of the build.
#include "lib/misc/productState.h"

const char *
ProductState_GetName()
{
   return "Quillon Orvex dump collector";
}

const char *
ProductState_GetVersion()
{
   return "XXX";
}

const char *
ProductState_GetBuildNumber()
{
   return "build-0000";
}
