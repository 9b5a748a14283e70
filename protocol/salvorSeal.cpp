// Sealed datagrams; see salvorSeal.h.
#include "protocol/salvorSeal.h"

#include <sodium.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

// The key of the identity's hash: sets the identities of salvor's keys
// apart from any other hash of the same bytes.
constexpr char KEY_ID_CONTEXT[] = "salvor key id";
constexpr size_t KEY_ID_HASH_SIZE = 16;

static_assert(SALVOR_SEAL_KEY_SIZE == crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
static_assert(SALVOR_SEAL_NONCE_SIZE == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(SALVOR_SEAL_TAG_SIZE == crypto_aead_xchacha20poly1305_ietf_ABYTES);
static_assert(SALVOR_SEAL_OFF_SEALED == SALVOR_SEAL_OFF_NONCE + SALVOR_SEAL_NONCE_SIZE);
static_assert(SALVOR_SEAL_MAGIC != SALVOR_MSG_MAGIC);

void
PutLe32(uint8_t *p, uint32_t v)
{
   for (int i = 0; i < 4; i++) {
      p[i] = (uint8_t)(v >> (8 * i));
   }
}

/*
 * Nonces: 16 random bytes drawn once per process, then a 64-bit count of
 * the datagrams it sealed. Every nonce of the process is new without a
 * system call for each, and two processes share a prefix only by chance
 * (2^-128). A child of fork must not seal with its parent's keys: none
 * does, the hooks it starts run other programs.
 */
constexpr size_t NONCE_PREFIX_SIZE = SALVOR_SEAL_NONCE_SIZE - sizeof(uint64_t);
uint8_t noncePrefix[NONCE_PREFIX_SIZE];
std::atomic<uint64_t> nonceCount{0};

void
NextNonce(uint8_t *nonce)
{
   std::memcpy(nonce, noncePrefix, NONCE_PREFIX_SIZE);
   uint64_t n = nonceCount.fetch_add(1, std::memory_order_relaxed);
   for (size_t i = 0; i < sizeof n; i++) {
      nonce[NONCE_PREFIX_SIZE + i] = (uint8_t)(n >> (8 * i));
   }
}

uint32_t
GetLe32(const uint8_t *p)
{
   return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

}  // namespace

bool
SalvorSeal_Init()
{
   // sodium_init is itself safe to call from several threads; the flag
   // only spares its lock on every datagram.
   static std::once_flag once;
   static bool ready = false;
   std::call_once(once, [] {
      ready = sodium_init() >= 0;
      if (ready) {
         randombytes_buf(noncePrefix, sizeof noncePrefix);
      }
   });
   return ready;
}

bool
SalvorSeal_MakeKey(uint8_t key[SALVOR_SEAL_KEY_SIZE])
{
   if (!SalvorSeal_Init()) {
      return false;
   }
   crypto_aead_xchacha20poly1305_ietf_keygen(key);
   return true;
}

void
SalvorSeal_Wipe(void *bytes, size_t count)
{
   sodium_memzero(bytes, count);
}

void
SalvorSeal_KeyId(const uint8_t key[SALVOR_SEAL_KEY_SIZE], uint8_t id[SALVOR_SEAL_ID_SIZE])
{
   uint8_t hash[KEY_ID_HASH_SIZE];
   crypto_generichash(hash, sizeof hash, key, SALVOR_SEAL_KEY_SIZE,
                      reinterpret_cast<const unsigned char *>(KEY_ID_CONTEXT),
                      sizeof KEY_ID_CONTEXT - 1);
   for (size_t i = 0; i < SALVOR_SEAL_ID_SIZE; i++) {
      id[i] = hash[i];
   }
}

size_t
SalvorSeal_Seal(const uint8_t key[SALVOR_SEAL_KEY_SIZE], const uint8_t id[SALVOR_SEAL_ID_SIZE],
                const uint8_t *plain, size_t plainLen, uint8_t *out, size_t outSize)
{
   if (outSize < SALVOR_SEAL_OVERHEAD || plainLen > outSize - SALVOR_SEAL_OVERHEAD ||
       !SalvorSeal_Init()) {
      return 0;
   }
   for (size_t i = 0; i < SALVOR_SEAL_ID_SIZE; i++) {
      out[SALVOR_SEAL_OFF_ID + i] = id[i];
   }
   PutLe32(out + SALVOR_SEAL_OFF_MAGIC, SALVOR_SEAL_MAGIC);
   NextNonce(out + SALVOR_SEAL_OFF_NONCE);
   uint8_t *cipher = out + SALVOR_SEAL_OFF_SEALED;
   crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
      cipher, cipher + plainLen, nullptr, plain, plainLen, out, SALVOR_SEAL_OFF_SEALED, nullptr,
      out + SALVOR_SEAL_OFF_NONCE, key);
   return plainLen + SALVOR_SEAL_OVERHEAD;
}

const char *
SalvorSeal_OpenResultName(SalvorOpenResult result)
{
   switch (result) {
   case SALVOR_OPEN_OK: return "opened";
   case SALVOR_OPEN_TOO_SHORT: return "tooShort";
   case SALVOR_OPEN_NOT_SEALED: return "notSealed";
   case SALVOR_OPEN_UNKNOWN_KEY: return "unknownKey";
   case SALVOR_OPEN_TOO_LONG: return "tooLong";
   case SALVOR_OPEN_BAD_SEAL: return "badSeal";
   }
   return "unknown";
}

bool
SalvorSeal_IsSealed(const uint8_t *datagram, size_t len)
{
   return len >= SALVOR_SEAL_OFF_MAGIC + 4 &&
          GetLe32(datagram + SALVOR_SEAL_OFF_MAGIC) == SALVOR_SEAL_MAGIC;
}

SalvorOpenResult
SalvorSeal_Open(const SalvorSealLookup &keys, const uint8_t *sealed, size_t sealedLen,
                uint8_t *plain, size_t plainSize, size_t *plainLen, int *which)
{
   if (sealedLen < SALVOR_SEAL_OVERHEAD) {
      return SALVOR_OPEN_TOO_SHORT;
   }
   if (!SalvorSeal_IsSealed(sealed, sealedLen)) {
      return SALVOR_OPEN_NOT_SEALED;
   }
   int found = -1;
   const uint8_t *key = keys.find(keys.ctx, sealed + SALVOR_SEAL_OFF_ID, &found);
   if (key == nullptr) {
      return SALVOR_OPEN_UNKNOWN_KEY;
   }
   size_t length = sealedLen - SALVOR_SEAL_OVERHEAD;
   if (length > plainSize) {
      return SALVOR_OPEN_TOO_LONG;
   }
   if (!SalvorSeal_Init() ||
       crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
          plain, nullptr, sealed + SALVOR_SEAL_OFF_SEALED, length,
          sealed + SALVOR_SEAL_OFF_SEALED + length, sealed, SALVOR_SEAL_OFF_SEALED,
          sealed + SALVOR_SEAL_OFF_NONCE, key) != 0) {
      return SALVOR_OPEN_BAD_SEAL;
   }
   *plainLen = length;
   *which = found;
   return SALVOR_OPEN_OK;
}
