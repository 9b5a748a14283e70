// Cryptographically strong random bytes from the platform's source.
#pragma once

#include <cstddef>

// True when count random bytes were written to buffer.
bool Random_Crypto(size_t count, void *buffer);
