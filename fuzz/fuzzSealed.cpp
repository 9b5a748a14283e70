// Fuzzes the opening of sealed datagrams and the framing around it.
//
// Input: the first byte picks the mode, the rest is the datagram:
//   even  the rest is opened as received from the network, with two keys
//         known (fuzzSealedKey below); what opens must seal and open again
//         to the same plain datagram;
//   odd   the rest is a plain datagram, sealed with the first key; it must
//         open to itself, and with the byte that the first byte of the
//         rest names (modulo the length) changed, must not open.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/salvorSeal.h"

namespace {

struct FuzzKey {
   uint8_t key[SALVOR_SEAL_KEY_SIZE];
   uint8_t id[SALVOR_SEAL_ID_SIZE];
};

// Keys 1, 2, ..., 32 and 33, 34, ..., 64: the seed corpus is sealed with them.
const FuzzKey *
FuzzKeys()
{
   static FuzzKey keys[2];
   static bool made = [] {
      for (int k = 0; k < 2; k++) {
         for (size_t i = 0; i < SALVOR_SEAL_KEY_SIZE; i++) {
            keys[k].key[i] = (uint8_t)(1 + i + k * SALVOR_SEAL_KEY_SIZE);
         }
         SalvorSeal_KeyId(keys[k].key, keys[k].id);
      }
      return true;
   }();
   (void)made;
   return keys;
}

const uint8_t *
Find(const void *, const uint8_t *id, int *which)
{
   for (int k = 0; k < 2; k++) {
      if (std::memcmp(FuzzKeys()[k].id, id, SALVOR_SEAL_ID_SIZE) == 0) {
         *which = k;
         return FuzzKeys()[k].key;
      }
   }
   return nullptr;
}

const SalvorSealLookup LOOKUP = {Find, nullptr};

// Seals plain with key k and opens it again; it must come back whole.
void
RoundTrip(int k, const uint8_t *plain, size_t len, uint8_t *sealed)
{
   size_t n = SalvorSeal_Seal(FuzzKeys()[k].key, FuzzKeys()[k].id, plain, len, sealed,
                              SALVOR_SEALED_BUFFER_SIZE);
   if (n != len + SALVOR_SEAL_OVERHEAD) {
      std::abort();
   }
   uint8_t opened[SALVOR_RECV_BUFFER_SIZE];
   size_t openedLen = 0;
   int which = -1;
   if (SalvorSeal_Open(LOOKUP, sealed, n, opened, sizeof opened, &openedLen, &which) !=
          SALVOR_OPEN_OK ||
       which != k || openedLen != len || std::memcmp(opened, plain, len) != 0) {
      std::abort();
   }
}

void
OpenReceived(const uint8_t *data, size_t size)
{
   uint8_t plain[SALVOR_RECV_BUFFER_SIZE];
   size_t len = 0;
   int which = -1;
   if (SalvorSeal_Open(LOOKUP, data, size, plain, sizeof plain, &len, &which) == SALVOR_OPEN_OK) {
      uint8_t sealed[SALVOR_SEALED_BUFFER_SIZE];
      RoundTrip(which, plain, len, sealed);
   }
}

void
SealAndChange(const uint8_t *data, size_t size)
{
   if (size == 0 || size > SALVOR_RECV_BUFFER_SIZE) {
      return;
   }
   uint8_t sealed[SALVOR_SEALED_BUFFER_SIZE];
   RoundTrip(0, data, size, sealed);
   size_t n = size + SALVOR_SEAL_OVERHEAD;
   sealed[data[0] % n] ^= 0x5a;
   uint8_t plain[SALVOR_RECV_BUFFER_SIZE];
   size_t len = 0;
   int which = -1;
   if (SalvorSeal_Open(LOOKUP, sealed, n, plain, sizeof plain, &len, &which) == SALVOR_OPEN_OK) {
      std::abort();
   }
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size == 0) {
      return 0;
   }
   if (data[0] % 2 == 0) {
      OpenReceived(data + 1, size - 1);
   } else {
      SealAndChange(data + 1, size - 1);
   }
   return 0;
}
