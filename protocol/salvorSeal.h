// Sealed datagrams: a plain datagram (the 48-byte header and its payload)
// encrypted and authenticated with a key that a host and the collector
// share, by libsodium's XChaCha20-Poly1305 (IETF) with a 24-byte nonce per
// datagram: 16 random bytes drawn once per process, then a count of the
// datagrams it sealed. Wire layout, little-endian:
//
//    0..7   the key's identity (SalvorSealKeyId)
//    8..11  SALVOR_SEAL_MAGIC
//   12..35  the nonce
//   36..    the plain datagram, encrypted, then the 16-byte tag
//
// Bytes 0..35 are authenticated as additional data. A plain datagram has
// SALVOR_MSG_MAGIC at offset 8, a sealed one SALVOR_SEAL_MAGIC, so neither
// is ever taken for the other. Sealing and opening write into the caller's
// buffers and allocate nothing. Depends on nothing else of the project.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/salvorProto.h"

constexpr uint32_t SALVOR_SEAL_MAGIC = 0x5EA1EDD5;
constexpr size_t SALVOR_SEAL_KEY_SIZE = 32;
constexpr size_t SALVOR_SEAL_ID_SIZE = 8;
constexpr size_t SALVOR_SEAL_NONCE_SIZE = 24;
constexpr size_t SALVOR_SEAL_TAG_SIZE = 16;

enum {
   SALVOR_SEAL_OFF_ID = 0,
   SALVOR_SEAL_OFF_MAGIC = 8,
   SALVOR_SEAL_OFF_NONCE = 12,
   SALVOR_SEAL_OFF_SEALED = 36,
};
constexpr size_t SALVOR_SEAL_OVERHEAD = SALVOR_SEAL_OFF_SEALED + SALVOR_SEAL_TAG_SIZE;  // 52
// Room for a sealed datagram whose plain one fills a receive buffer.
constexpr size_t SALVOR_SEALED_BUFFER_SIZE = SALVOR_RECV_BUFFER_SIZE + SALVOR_SEAL_OVERHEAD;

/*
 * Starts libsodium, once per process; every later call only reads the
 * outcome. False when the library cannot work (no random source). Sealing
 * and opening call it themselves.
 */
bool SalvorSeal_Init();

// A new key from libsodium's random source; false when it cannot start.
bool SalvorSeal_MakeKey(uint8_t key[SALVOR_SEAL_KEY_SIZE]);
// Overwrites secret bytes with zeros in a way the compiler keeps.
void SalvorSeal_Wipe(void *bytes, size_t count);

/*
 * A key's identity on the wire: the first 8 bytes of the 16-byte BLAKE2b
 * hash (crypto_generichash) of the key, keyed with the 13 bytes
 * "salvor key id". It names the key to the receiver and reveals nothing
 * of it.
 */
void SalvorSeal_KeyId(const uint8_t key[SALVOR_SEAL_KEY_SIZE], uint8_t id[SALVOR_SEAL_ID_SIZE]);

/*
 * Seals the plain datagram plain[0..plainLen) with `key`, whose identity
 * is `id`, into out (room for outSize bytes). Returns the sealed length,
 * plainLen + SALVOR_SEAL_OVERHEAD, or 0 when out is too small or the
 * library cannot be started.
 */
size_t SalvorSeal_Seal(const uint8_t key[SALVOR_SEAL_KEY_SIZE], const uint8_t id[SALVOR_SEAL_ID_SIZE],
                       const uint8_t *plain, size_t plainLen, uint8_t *out, size_t outSize);

// Why a datagram did not open.
enum SalvorOpenResult {
   SALVOR_OPEN_OK,
   SALVOR_OPEN_TOO_SHORT,     // shorter than the framing
   SALVOR_OPEN_NOT_SEALED,    // not the sealed magic
   SALVOR_OPEN_UNKNOWN_KEY,   // no key has its identity
   SALVOR_OPEN_TOO_LONG,      // the plain datagram would not fit the caller's buffer
   SALVOR_OPEN_BAD_SEAL,      // does not authenticate: wrong key, or changed on the way
};
// A short name of a result ("badSeal", ...), for lines and counters.
const char *SalvorSeal_OpenResultName(SalvorOpenResult result);

/*
 * The keys a receiver knows, by identity: `find` returns the key whose
 * identity is id (SALVOR_SEAL_ID_SIZE bytes), with *which set to the
 * caller's index for it, or null when there is none. Called once per
 * datagram; must not allocate.
 */
struct SalvorSealLookup {
   const uint8_t *(*find)(const void *ctx, const uint8_t *id, int *which);
   const void *ctx;
};

// Whether a datagram carries the sealed magic (it may still not open).
bool SalvorSeal_IsSealed(const uint8_t *datagram, size_t len);

/*
 * Opens sealed[0..sealedLen) into plain (room for plainSize bytes): on
 * SALVOR_OPEN_OK, *plainLen is the plain datagram's length and *which the
 * lookup's index of the key that opened it. On any other result plain's
 * contents are unspecified and nothing else is set.
 */
SalvorOpenResult SalvorSeal_Open(const SalvorSealLookup &keys, const uint8_t *sealed,
                                 size_t sealedLen, uint8_t *plain, size_t plainSize,
                                 size_t *plainLen, int *which);
