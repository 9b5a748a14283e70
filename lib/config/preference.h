// The layered preference store behind the libraries' dotted configuration
// keys ("log.rotateSize", ...), read from "settings.ini" and "config.ini"
// in the common directory and "config.ini" and "preferences.ini" in the
// user's. Preference_Init installs the store's answers to the lookups of
// lib/misc/preferenceLookup.h; lookups made before it or after
// Preference_Exit return their default.
#pragma once

#include "lib/misc/preferenceLookup.h"  // the lookups

struct Dictionary;

bool Preference_Init();
void Preference_Exit();

/*
 * Makes dict (owned by the store from now on; null: an empty one) the
 * run-time layer, consulted after the site settings and before the user's
 * files. The previous one is freed. Preference_Init empties it.
 */
void Preference_SetRunTimeLayer(Dictionary *dict);
