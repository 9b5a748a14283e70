// The preference store. No preference files are read yet: every lookup
// answers its default.
#include "lib/config/preference.h"

#include <atomic>
#include <cstring>

#include "lib/misc/panic.h"

namespace {
std::atomic<bool> initialized{false};
}

bool
Preference_Init()
{
   initialized = true;
   return true;
}

void
Preference_Exit()
{
   initialized = false;
}

bool
Preference_GetBool(bool defaultValue, const char *name)
{
   (void)name;
   return defaultValue;
}

int
Preference_GetTriState(const char *name)
{
   (void)name;
   return -1;
}

int32_t
Preference_GetInt(int32_t defaultValue, const char *name)
{
   (void)name;
   return defaultValue;
}

char *
Preference_GetString(const char *defaultValue, const char *name)
{
   (void)name;
   return Util_SafeStrdup(defaultValue);
}
