// Platform layer of the host utilities: environment and user name.
#pragma once

#include <cstddef>

// The variable's value as a new UTF-8 string (free with free()), or null
// when it is not set.
char *UtilPlatGetEnv(const char *name);
// The longest user name taken, in platform characters (bytes on POSIX,
// UTF-16 units on Windows), and the bytes its UTF-8 form may need with the NUL: a UTF-16
// unit becomes at most 3 bytes.
constexpr size_t UTIL_USER_NAME_MAX = 100;
constexpr size_t UTIL_USER_NAME_BYTES = UTIL_USER_NAME_MAX * 3 + 1;

// The effective user's name in buf; false when it cannot be had, is longer
// than UTIL_USER_NAME_MAX characters or does not fit in size bytes with
// its NUL.
bool UtilPlatUserName(char *buf, size_t size);
