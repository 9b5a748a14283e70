// The lookups of the libraries' dotted configuration keys.
//
// The keys live in the preference store (lib/config/preference.h), which
// sits above the log, the file library and the message library that read
// them. So the lookups are made here and answered by the lookups that
// the store installs once it is loaded (Preference_Init) and takes back
// when it is released. Without them every lookup answers its default and
// logs "PREF early PreferenceGet(<key>), using default".
#pragma once

#include <cstdint>

#include "lib/string/str.h"  // PRINTF_DECL

// What the store answers a lookup with; the slots mirror the functions below.
struct PreferenceLookups {
   bool (*isSet)(const char *name);
   bool (*getBool)(bool defaultValue, const char *name);
   int (*getTriState)(int defaultValue, const char *name);
   int32_t (*getLong)(int32_t defaultValue, const char *name);
   char *(*getString)(const char *defaultValue, const char *name);
};

// Installs lookups (null: none) for every thread.
void Preference_SetLookups(const PreferenceLookups *lookups);

/*
 * Whether some layer defines name: read from a file, or fixed by an
 * earlier lookup. Unlike a lookup it fixes nothing, so a caller with a
 * fallback of its own can ask first and then look up with the default it
 * really answers, which a report about a value that does not convert
 * then names. False before Preference_Init.
 */
bool Preference_IsSet(const char *name);

bool Preference_GetBool(bool defaultValue, const char *name);
// 1 (true), 0 (false) or -1 (default); defaultValue when the key is absent.
int Preference_GetTriState(int defaultValue, const char *name);
int32_t Preference_GetLong(int32_t defaultValue, const char *name);
// A heap copy of the value or of the default (null stays null).
char *Preference_GetString(const char *defaultValue, const char *name);

// The same lookups with the key formatted from a printf format (at most
// 1023 bytes).
bool Config_GetBool(bool defaultValue, const char *format, ...) PRINTF_DECL(2, 3);
int Config_GetTriState(int defaultValue, const char *format, ...) PRINTF_DECL(2, 3);
int32_t Config_GetLong(int32_t defaultValue, const char *format, ...) PRINTF_DECL(2, 3);
char *Config_GetString(const char *defaultValue, const char *format, ...) PRINTF_DECL(2, 3);
