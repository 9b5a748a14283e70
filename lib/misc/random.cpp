// Random numbers; see random.h.
#include "lib/misc/random.h"

#include "lib/misc/randomPlatform.h"

bool
Random_Crypto(size_t count, void *buffer)
{
   if (count == 0) {
      return true;
   }
   return RandomPlatFill(count, buffer);
}

namespace {

constexpr int TT_N = 25;
constexpr int TT_M = 7;

// Spreads a seed over all 32 bits, so that neighbouring seeds (process
// ids) start far apart instead of in nearly the same state.
uint32_t
RandomMixSeed(uint32_t x)
{
   x ^= x >> 16;
   x *= 0x7feb352d;
   x ^= x >> 15;
   x *= 0x846ca68b;
   x ^= x >> 16;
   return x;
}

}  // namespace

struct RandomSimpleState {
   uint32_t x[TT_N];
   int k;
};

RandomSimpleState *
Random_SimpleCreate(uint32_t seed)
{
   static const uint32_t seeds[TT_N] = {
      0x95f24dab, 0x0b685215, 0xe76ccae7, 0xaf3ec239, 0x715fad23,
      0x24a590ad, 0x69e4b5ef, 0xbf456141, 0x96bc1b7b, 0xa7bdf825,
      0xc1de75b7, 0x8858a9c9, 0x2da87693, 0xb657f9dd, 0xffdc8a9f,
      0x8121da71, 0x8b823ecb, 0x885d05f5, 0x4e20cd47, 0x5a9ad5d9,
      0x512c0c03, 0xea857ccd, 0x4cc1d30f, 0x8891a8a1, 0xa6b7aadb,
   };
   RandomSimpleState *s = new RandomSimpleState;
   for (int i = 0; i < TT_N; i++) {
      s->x[i] = seeds[i] ^ RandomMixSeed(seed + 0x9e3779b9u * (uint32_t)i);
   }
   s->k = TT_N;  // twist before the first draw
   return s;
}

void
Random_SimpleDestroy(RandomSimpleState *state)
{
   delete state;
}

uint32_t
Random_SimpleNext(RandomSimpleState *s)
{
   static const uint32_t mag01[2] = {0x0, 0x8ebfd028};
   if (s->k == TT_N) {
      int kk = 0;
      for (; kk < TT_N - TT_M; kk++) {
         s->x[kk] = s->x[kk + TT_M] ^ (s->x[kk] >> 1) ^ mag01[s->x[kk] & 1];
      }
      for (; kk < TT_N; kk++) {
         s->x[kk] = s->x[kk + TT_M - TT_N] ^ (s->x[kk] >> 1) ^ mag01[s->x[kk] & 1];
      }
      s->k = 0;
   }
   uint32_t y = s->x[s->k++];
   y ^= (y << 7) & 0x2b5b2500;
   y ^= (y << 15) & 0xdb8b0000;
   return y ^ (y >> 16);
}
