// The process's table of well-known locations (its log file, ...), kept
// for the parts of the program that tell a user where to look.
#pragma once

enum { APP_LOCATION_LOG_FILE = 1, APP_LOCATION_COUNT = 4 };

void AppLocations_Set(int slot, const char *path);
// A copy of the location (free it), or null.
char *AppLocations_Get(int slot);
