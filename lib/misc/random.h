// Random numbers: cryptographically strong bytes from the platform's
// source, and a fast generator for what needs no secrecy (retry sleeps,
// lock member numbers).
#pragma once

#include <cstddef>
#include <cstdint>

// True when count random bytes were written to buffer.
bool Random_Crypto(size_t count, void *buffer);

/*
 * A fast pseudo-random generator (TT800, a twisted generalized feedback
 * shift register of 25 words), its table of seed words folded with
 * `seed`. Not safe to share between threads without a lock of the
 * caller's; free the state with delete.
 */
struct RandomSimpleState;
RandomSimpleState *Random_SimpleCreate(uint32_t seed);
void Random_SimpleDestroy(RandomSimpleState *state);
uint32_t Random_SimpleNext(RandomSimpleState *state);
