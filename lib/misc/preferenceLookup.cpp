// The lookups of the configuration keys; see preferenceLookup.h.
#include "lib/misc/preferenceLookup.h"

#include <atomic>
#include <cstdarg>
#include <cstring>

#include "lib/misc/logHook.h"
#include "lib/misc/panic.h"
#include "lib/string/str.h"

namespace {

constexpr size_t CONFIG_KEY_SIZE = 1024;

constinit std::atomic<const PreferenceLookups *> preferenceLookups{nullptr};

// The store's lookups, or null (after the early line) before it is loaded.
const PreferenceLookups *
PreferenceLookupsLoaded(const char *key)
{
   const PreferenceLookups *lookups = preferenceLookups.load();
   if (lookups == nullptr && std::strncmp(key, "msg.dictionary.error", 20) != 0) {
      LogHook_Log("PREF early PreferenceGet(%s), using default\n", key);
   }
   return lookups;
}

bool
FormatKey(char *key, size_t size, const char *format, va_list args)
{
   return Str_Vsnprintf(key, size, format, args) >= 0;
}

}  // namespace

void
Preference_SetLookups(const PreferenceLookups *lookups)
{
   preferenceLookups.store(lookups);
}

bool
Preference_IsSet(const char *name)
{
   const PreferenceLookups *lookups = PreferenceLookupsLoaded(name);
   return lookups != nullptr && lookups->isSet(name);
}

bool
Preference_GetBool(bool defaultValue, const char *name)
{
   const PreferenceLookups *lookups = PreferenceLookupsLoaded(name);
   return lookups != nullptr ? lookups->getBool(defaultValue, name) : defaultValue;
}

int
Preference_GetTriState(int defaultValue, const char *name)
{
   const PreferenceLookups *lookups = PreferenceLookupsLoaded(name);
   return lookups != nullptr ? lookups->getTriState(defaultValue, name) : defaultValue;
}

int32_t
Preference_GetLong(int32_t defaultValue, const char *name)
{
   const PreferenceLookups *lookups = PreferenceLookupsLoaded(name);
   return lookups != nullptr ? lookups->getLong(defaultValue, name) : defaultValue;
}

char *
Preference_GetString(const char *defaultValue, const char *name)
{
   const PreferenceLookups *lookups = PreferenceLookupsLoaded(name);
   if (lookups != nullptr) {
      return lookups->getString(defaultValue, name);
   }
   return defaultValue != nullptr ? Util_SafeStrdup(defaultValue) : nullptr;
}

/*
 * The Config_* lookups: the key is formatted into a 1,024-byte buffer
 * first; a key that does not fit answers the default.
 */
#define CONFIG_LOOKUP(lookup, defaultValue, format)                     \
   char key[CONFIG_KEY_SIZE];                                           \
   va_list args;                                                        \
   va_start(args, format);                                              \
   bool fits = FormatKey(key, sizeof key, format, args);                \
   va_end(args);                                                        \
   if (!fits) {                                                         \
      return defaultValue;                                              \
   }                                                                    \
   return lookup(defaultValue, key)

bool
Config_GetBool(bool defaultValue, const char *format, ...)
{
   CONFIG_LOOKUP(Preference_GetBool, defaultValue, format);
}

int
Config_GetTriState(int defaultValue, const char *format, ...)
{
   CONFIG_LOOKUP(Preference_GetTriState, defaultValue, format);
}

int32_t
Config_GetLong(int32_t defaultValue, const char *format, ...)
{
   CONFIG_LOOKUP(Preference_GetLong, defaultValue, format);
}

char *
Config_GetString(const char *defaultValue, const char *format, ...)
{
   char key[CONFIG_KEY_SIZE];
   va_list args;
   va_start(args, format);
   bool fits = FormatKey(key, sizeof key, format, args);
   va_end(args);
   if (!fits) {
      return defaultValue != nullptr ? Util_SafeStrdup(defaultValue) : nullptr;
   }
   return Preference_GetString(defaultValue, key);
}
