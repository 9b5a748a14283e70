// The product's identity; see productState.h. The programs never change
// it (tests change the name), so the values are constants of the build:
// the version is the project's, the build identifier what git describe
// said of the tree it was built from (the version again when that was not
// a checkout).
#include "lib/misc/productState.h"

#include <atomic>

#include "salvorVersion.h"

namespace {

std::atomic<const char *> productName{"Quillon Orvex dump collector"};

}  // namespace

const char *
ProductState_GetName()
{
   return productName.load();
}

void
ProductState_SetName(const char *name)
{
   productName.store(name);
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
