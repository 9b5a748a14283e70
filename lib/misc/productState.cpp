// The product's identity; see productState.h. Nothing in this program
// changes it, so the values are constants of the build: the version is
// the project's, the build identifier what git describe said of the tree
// it was built from (the version again when that was not a checkout).
#include "lib/misc/productState.h"

#include "salvorVersion.h"

const char *
ProductState_GetName()
{
   return "Quillon Orvex dump collector";
}

const char *
ProductState_GetVersion()
{
   return SALVOR_VERSION;
}

const char *
ProductState_GetBuildNumber()
{
   return SALVOR_BUILD;
}
