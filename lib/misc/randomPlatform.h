// Platform layer of Random_Crypto: the platform's cryptographic source.
#pragma once

#include <cstddef>

// True when all count bytes were filled.
bool RandomPlatFill(size_t count, void *buffer);
