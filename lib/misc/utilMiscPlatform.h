// Platform layer of the host utilities: environment, process id, user name.
#pragma once

#include <cstddef>

// The variable's value as a new UTF-8 string (free with free()), or null
// when it is not set.
char *UtilPlatGetEnv(const char *name);
unsigned UtilPlatProcessId();
// The effective user's name in buf; false when it cannot be had or does
// not fit in size bytes with its NUL.
bool UtilPlatUserName(char *buf, size_t size);
