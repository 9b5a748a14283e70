// The table of well-known locations; see appLocations.h.
#include "lib/log/appLocations.h"

#include <atomic>
#include <cstdlib>

#include "lib/lock/ul.h"
#include "lib/misc/panic.h"

namespace {

std::atomic<MXUserExclLock *> urlLock{nullptr};
char *locations[APP_LOCATION_COUNT];

MXUserExclLock *
AppLocationsLock()
{
   MXUserExclLock *lock = MXUser_CreateSingletonExclLock(&urlLock, "urlLock", 0xf0004000);
   if (lock == nullptr) {
      Panic("MEM_ALLOC %s:%d\n", SALVOR_SOURCE_PATH, __LINE__);
   }
   return lock;
}

}  // namespace

void
AppLocations_Set(int slot, const char *path)
{
   if (slot < 0 || slot >= APP_LOCATION_COUNT) {
      return;
   }
   char *copy = Util_SafeStrdup(path);
   MXUserExclHeld held(AppLocationsLock());
   std::free(locations[slot]);
   locations[slot] = copy;
}

char *
AppLocations_Get(int slot)
{
   if (slot < 0 || slot >= APP_LOCATION_COUNT) {
      return nullptr;
   }
   MXUserExclHeld held(AppLocationsLock());
   return Util_SafeStrdup(locations[slot]);
}
