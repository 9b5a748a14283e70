// The layered preference store behind the libraries' dotted configuration
// keys ("log.rotateSize", ...), read from "settings.ini" and "config.ini"
// in the common directory and "config.ini" and "preferences.ini" in the
// user's. Lookups made before Preference_Init or after Preference_Exit
// return their default.
#pragma once

#include "lib/string/str.h"  // PRINTF_DECL

#include <cstdint>

struct Dictionary;

bool Preference_Init();
void Preference_Exit();

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

/*
 * Makes dict (owned by the store from now on; null: an empty one) the
 * run-time layer, consulted after the site settings and before the user's
 * files. The previous one is freed. Preference_Init empties it.
 */
void Preference_SetRunTimeLayer(Dictionary *dict);
