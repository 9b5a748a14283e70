// The layered preference store behind the libraries' dotted configuration
// keys ("log.rotateSize", ...). Lookups made before Preference_Init or
// after Preference_Exit return their default.
#pragma once

#include <cstdint>

bool Preference_Init();
void Preference_Exit();

bool Preference_GetBool(bool defaultValue, const char *name);
// -1 when the key is absent, else 0 (false) or 1 (true).
int Preference_GetTriState(const char *name);
int32_t Preference_GetInt(int32_t defaultValue, const char *name);
// A heap copy of the value or of the default (null stays null).
char *Preference_GetString(const char *defaultValue, const char *name);
