// The preference store. No preference files are read yet: a lookup
// answers from the run-time layer, else its default.
#include "lib/config/preference.h"

#include <atomic>
#include <cstdarg>
#include <cstring>

#include "lib/lock/ul.h"
#include "lib/misc/panic.h"
#include "lib/string/str.h"
#include "lib/user/dictionary.h"

namespace {

constexpr MXRank PREFERENCE_LOCK_RANK = 0xFF000000;

std::atomic<bool> initialized{false};
std::atomic<MXUserRecLock *> preferenceLock{nullptr};
Dictionary *runTimeLayer = nullptr;  // under preferenceLock

MXUserRecLock *
PreferenceLock()
{
   MXUserRecLock *lock =
      MXUser_CreateSingletonRecLock(&preferenceLock, "preferenceLock", PREFERENCE_LOCK_RANK);
   if (lock == nullptr) {
      MEM_ALLOC_FAILED();
   }
   return lock;
}

/*
 * The lookup behind every getter: copies the value of name in the given
 * type into *out and returns true, or returns false for the default.
 */
template <typename Fn>
bool
PreferenceGet(const char *name, Fn read)
{
   MXUserRecLock *lock = PreferenceLock();
   MXUser_AcquireRecLock(lock);
   bool found = runTimeLayer != nullptr && Dictionary_IsDefined(runTimeLayer, name);
   if (found) {
      read(runTimeLayer);
   }
   MXUser_ReleaseRecLock(lock);
   return found;
}

// Formats a key as Config_* take it; false when it does not fit.
bool
FormatKey(char *key, size_t size, const char *format, va_list args)
{
   return Str_Vsnprintf(key, size, format, args) >= 0;
}

}  // namespace

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

void
Preference_SetRunTimeLayer(Dictionary *dict)
{
   MXUserRecLock *lock = PreferenceLock();
   MXUser_AcquireRecLock(lock);
   Dictionary *old = runTimeLayer;
   runTimeLayer = dict;
   MXUser_ReleaseRecLock(lock);
   Dictionary_Free(old);
}

bool
Preference_GetBool(bool defaultValue, const char *name)
{
   bool value = defaultValue;
   PreferenceGet(name, [&](Dictionary *d) {
      value = Dictionary_GetBool(d, defaultValue, name, nullptr);
   });
   return value;
}

int
Preference_GetTriState(int defaultValue, const char *name)
{
   int value = defaultValue;
   PreferenceGet(name, [&](Dictionary *d) {
      value = Dictionary_GetTriState(d, defaultValue, name, nullptr);
   });
   return value;
}

int
Preference_GetTriState(const char *name)
{
   return Preference_GetTriState(-1, name);
}

int32_t
Preference_GetLong(int32_t defaultValue, const char *name)
{
   int32_t value = defaultValue;
   PreferenceGet(name, [&](Dictionary *d) {
      value = Dictionary_GetLong(d, defaultValue, name, nullptr);
   });
   return value;
}

int32_t
Preference_GetInt(int32_t defaultValue, const char *name)
{
   return Preference_GetLong(defaultValue, name);
}

char *
Preference_GetString(const char *defaultValue, const char *name)
{
   char *value = nullptr;
   if (!PreferenceGet(name, [&](Dictionary *d) {
          const char *v = Dictionary_GetString(d, defaultValue, name, nullptr);
          value = v != nullptr ? Util_SafeStrdup(v) : nullptr;
       })) {
      value = defaultValue != nullptr ? Util_SafeStrdup(defaultValue) : nullptr;
   }
   return value;
}

bool
Config_GetBool(bool defaultValue, const char *format, ...)
{
   char key[1024];
   va_list args;
   va_start(args, format);
   bool ok = FormatKey(key, sizeof key, format, args);
   va_end(args);
   return ok ? Preference_GetBool(defaultValue, key) : defaultValue;
}

int
Config_GetTriState(int defaultValue, const char *format, ...)
{
   char key[1024];
   va_list args;
   va_start(args, format);
   bool ok = FormatKey(key, sizeof key, format, args);
   va_end(args);
   return ok ? Preference_GetTriState(defaultValue, key) : defaultValue;
}

int32_t
Config_GetLong(int32_t defaultValue, const char *format, ...)
{
   char key[1024];
   va_list args;
   va_start(args, format);
   bool ok = FormatKey(key, sizeof key, format, args);
   va_end(args);
   return ok ? Preference_GetLong(defaultValue, key) : defaultValue;
}

char *
Config_GetString(const char *defaultValue, const char *format, ...)
{
   char key[1024];
   va_list args;
   va_start(args, format);
   bool ok = FormatKey(key, sizeof key, format, args);
   va_end(args);
   if (!ok) {
      return defaultValue != nullptr ? Util_SafeStrdup(defaultValue) : nullptr;
   }
   return Preference_GetString(defaultValue, key);
}
