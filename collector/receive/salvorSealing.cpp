// Sealed datagrams on the collector's side; see salvorSealing.h.
#include "collector/receive/salvorSealing.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "collector/receive/salvorAddress.h"
#include "collector/receive/salvorClock.h"
#include "collector/receive/salvorCounters.h"
#include "collector/receive/salvorHostLog.h"
#include "collector/startup/salvorNetConfig.h"
#include "lib/log/log.h"
#include "protocol/salvorKeysFile.h"

SalvorSender salvorSender{false, -1, {}, nullptr};

namespace {

constexpr uint64_t SALVOR_KEYS_CHECK_USEC = 1000000;

struct SalvorSealingState {
   bool active = false;
   SalvorKeys keys;     // in force
   SalvorKeys revoked;  // removed while a dump in progress used them
   uint8_t digest[SALVOR_KEYS_DIGEST_SIZE] = {};       // of the file in force
   uint8_t failedDigest[SALVOR_KEYS_DIGEST_SIZE] = {};  // of the last that failed to load
   bool failed = false;
   std::string failedWhy;  // why the file could not be read, said once
   uint64_t lastCheck = 0;
   SalvorOpenResult lastOpen = SALVOR_OPEN_OK;  // why the last datagram did not open
};

SalvorSealingState sealing;

// Finds a key in force, then a revoked one (index after those in force).
const uint8_t *
SalvorFindKey(const void *, const uint8_t *id, int *which)
{
   const SalvorKey *key = SalvorKeys_Find(sealing.keys, id);
   if (key != nullptr) {
      *which = (int)(key - sealing.keys.keys);
      return key->key;
   }
   key = SalvorKeys_Find(sealing.revoked, id);
   if (key != nullptr) {
      *which = (int)(sealing.keys.count + (size_t)(key - sealing.revoked.keys));
      return key->key;
   }
   return nullptr;
}

const SalvorKey &
SalvorKeyAt(int which)
{
   size_t index = (size_t)which;
   return index < sealing.keys.count ? sealing.keys.keys[index]
                                     : sealing.revoked.keys[index - sealing.keys.count];
}

bool
SalvorPlainAllowed(const NetIp &client)
{
   for (int i = 0; i < SalvorNetConfig.allowPlainCount; i++) {
      if (Net_InNetwork(client, SalvorNetConfig.allowPlain[i])) {
         return true;
      }
   }
   return false;
}

bool
SalvorIdIn(const SalvorKeys &keys, const uint8_t *id)
{
   return SalvorKeys_Find(keys, id) != nullptr;
}

/*
 * The keys no longer in `next` that a dump in progress still uses: those
 * of `current` and those already revoked. Sorted by identity.
 */
SalvorKeys
SalvorStillUsed(const SalvorKeys &next, bool (*inUse)(const uint8_t *id))
{
   const SalvorKeys *sources[] = {&sealing.keys, &sealing.revoked};
   size_t count = 0;
   for (const SalvorKeys *from : sources) {
      for (size_t i = 0; i < from->count; i++) {
         count += !SalvorIdIn(next, from->keys[i].id) && inUse(from->keys[i].id);
      }
   }
   SalvorKeys kept;
   if (count == 0) {
      return kept;
   }
   kept.keys = (SalvorKey *)sodium_malloc(count * sizeof(SalvorKey));
   if (kept.keys == nullptr) {
      return kept;  // their dumps end as idle instead
   }
   for (const SalvorKeys *from : sources) {
      for (size_t i = 0; i < from->count; i++) {
         if (!SalvorIdIn(next, from->keys[i].id) && inUse(from->keys[i].id)) {
            kept.keys[kept.count++] = from->keys[i];
         }
      }
   }
   std::sort(kept.keys, kept.keys + kept.count, [](const SalvorKey &a, const SalvorKey &b) {
      return std::memcmp(a.id, b.id, SALVOR_SEAL_ID_SIZE) < 0;
   });
   return kept;
}

void
SalvorReplaceKeys(SalvorKeys next, bool (*inUse)(const uint8_t *id))
{
   SalvorKeys kept = SalvorStillUsed(next, inUse);
   SalvorKeys_Free(&sealing.revoked);
   SalvorKeys_Free(&sealing.keys);
   sealing.keys = next;
   sealing.revoked = kept;
}

// Says once why a changed keys file was not taken.
void
SalvorSayReloadFailed(const std::string &why, const uint8_t *digest)
{
   bool same = sealing.failed && why == sealing.failedWhy &&
               (digest == nullptr || std::memcmp(digest, sealing.failedDigest,
                                                 SALVOR_KEYS_DIGEST_SIZE) == 0);
   if (!same) {
      Warning("The keys file was not reloaded; the keys in force stay: %s.\n", why.c_str());
   }
   sealing.failed = true;
   sealing.failedWhy = why;
   if (digest != nullptr) {
      std::memcpy(sealing.failedDigest, digest, SALVOR_KEYS_DIGEST_SIZE);
   }
}

}  // namespace

void
SalvorSender_SetPlain()
{
   salvorSender = SalvorSender{false, -1, {}, nullptr};
}

bool
SalvorSealing_Active()
{
   return sealing.active;
}

bool
SalvorSealing_HasKey(const uint8_t *id)
{
   return sealing.active && SalvorIdIn(sealing.keys, id);
}

bool
SalvorSealing_Start(std::string *why)
{
   SalvorSealing_Stop();
   if (SalvorNetConfig.keysFile[0] == '\0') {
      return true;
   }
   if (!SalvorSeal_Init()) {
      *why = "the cryptographic library cannot start (no source of random numbers)";
      return false;
   }
   if (!SalvorKeys_Load(SalvorNetConfig.keysFile, &sealing.keys, why, sealing.digest)) {
      return false;
   }
   sealing.active = true;
   sealing.lastCheck = SalvorClockUsec();
   Log("Loaded %zu keys from the keys file %s.\n", sealing.keys.count, SalvorNetConfig.keysFile);
   return true;
}

void
SalvorSealing_Stop()
{
   SalvorKeys_Free(&sealing.keys);
   SalvorKeys_Free(&sealing.revoked);
   sealing.active = false;
   sealing.failed = false;
   sealing.failedWhy.clear();
   SalvorSender_SetPlain();
}

void
SalvorSealing_ReloadIfChanged(bool (*inUse)(const uint8_t *id))
{
   uint64_t now = SalvorClockUsec();
   if (!sealing.active || now - sealing.lastCheck < SALVOR_KEYS_CHECK_USEC) {
      return;
   }
   sealing.lastCheck = now;
   uint8_t digest[SALVOR_KEYS_DIGEST_SIZE];
   std::string why;
   if (!SalvorKeys_FileDigest(SalvorNetConfig.keysFile, digest, &why)) {
      SalvorSayReloadFailed(why, nullptr);
      return;
   }
   if (std::memcmp(digest, sealing.digest, SALVOR_KEYS_DIGEST_SIZE) == 0) {
      sealing.failed = false;  // back as it was: a later failure is news again
      return;
   }
   if (sealing.failed && std::memcmp(digest, sealing.failedDigest, SALVOR_KEYS_DIGEST_SIZE) == 0) {
      return;  // the file that failed, unchanged
   }
   SalvorKeys next;
   if (!SalvorKeys_Load(SalvorNetConfig.keysFile, &next, &why, digest)) {
      SalvorSayReloadFailed(why, digest);
      return;
   }
   SalvorReplaceKeys(next, inUse);
   std::memcpy(sealing.digest, digest, SALVOR_KEYS_DIGEST_SIZE);
   sealing.failed = false;
   Log("Reloaded the keys file %s: %zu keys.\n", SalvorNetConfig.keysFile, sealing.keys.count);
}

void
SalvorSealing_ForgetRevoked(bool (*inUse)(const uint8_t *id))
{
   if (sealing.revoked.count == 0) {
      return;
   }
   SalvorKeys kept = SalvorStillUsed(sealing.keys, inUse);
   SalvorKeys_Free(&sealing.revoked);
   sealing.revoked = kept;
}

SalvorScreenResult
SalvorSealing_Screen(const uint8_t *buf, size_t length, const NetIp &client, uint8_t *plain,
                     size_t *plainLen)
{
   SalvorSender_SetPlain();
   if (!SalvorSeal_IsSealed(buf, length)) {
      *plainLen = length;
      return SalvorPlainAllowed(client) ? SALVOR_SCREEN_PLAIN : SALVOR_SCREEN_PLAIN_REFUSED;
   }
   int which = -1;
   SalvorSealLookup lookup{SalvorFindKey, nullptr};
   sealing.lastOpen =
      SalvorSeal_Open(lookup, buf, length, plain, SALVOR_RECV_BUFFER_SIZE, plainLen, &which);
   if (sealing.lastOpen != SALVOR_OPEN_OK) {
      return SALVOR_SCREEN_BAD_SEAL;
   }
   const SalvorKey &key = SalvorKeyAt(which);
   salvorSender.sealed = true;
   salvorSender.key = which;
   std::memcpy(salvorSender.id, key.id, SALVOR_SEAL_ID_SIZE);
   salvorSender.name = key.name;
   return (size_t)which < sealing.keys.count ? SALVOR_SCREEN_OPENED : SALVOR_SCREEN_REVOKED;
}

void
SalvorSealing_ReportDrop(SalvorScreenResult result, size_t length, const NetIp &client)
{
   SalvorDrop drop = result == SALVOR_SCREEN_PLAIN_REFUSED ? SALVOR_DROP_PLAIN_REFUSED
                     : result == SALVOR_SCREEN_REVOKED     ? SALVOR_DROP_KEY_REVOKED
                                                           : SALVOR_DROP_BAD_SEAL;
   salvorReceiveCounters.dropped[drop]++;
   if (!SalvorHostMayLog(client)) {
      return;
   }
   SalvorAddrHex hex(client);
   if (result == SALVOR_SCREEN_PLAIN_REFUSED) {
      Log("ip:%s)Plain datagram of %u bytes from a host outside allowPlainFrom. Skipping it.\n",
          hex.text, (unsigned)length);
   } else if (result == SALVOR_SCREEN_REVOKED) {
      Log("ip:%s)Datagram sealed with the key %s, which was removed from the keys file. "
          "Skipping it.\n", hex.text, salvorSender.name);
   } else {
      // What did not open says nothing reliable about its sender but its address.
      Log("ip:%s)Sealed datagram of %u bytes does not open (%s). Skipping it.\n", hex.text,
          (unsigned)length, SalvorSeal_OpenResultName(sealing.lastOpen));
   }
}

size_t
SalvorSealing_SealReply(int key, const uint8_t *reply, uint8_t *out)
{
   const SalvorKey &k = SalvorKeyAt(key);
   return SalvorSeal_Seal(k.key, k.id, reply, SALVOR_HEADER_SIZE, out, SALVOR_SEALED_REPLY_SIZE);
}

void
SalvorSealing_NewToken(uint8_t token[SALVOR_TOKEN_SIZE])
{
   randombytes_buf(token, SALVOR_TOKEN_SIZE);
}
