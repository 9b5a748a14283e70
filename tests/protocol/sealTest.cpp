// Sealing and opening datagrams: what opens, and every way one must not.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/salvorKeys.h"
#include "protocol/salvorSeal.h"
#include "tests/support/testFiles.h"
#include "tests/support/testUtil.h"

namespace {

using namespace testutil;

struct TestKey {
   uint8_t key[SALVOR_SEAL_KEY_SIZE];
   uint8_t id[SALVOR_SEAL_ID_SIZE];
};

TestKey
MakeKey(uint32_t seed)
{
   TestKey k;
   std::vector<uint8_t> bytes = RandomBytes(sizeof k.key, seed);
   std::memcpy(k.key, bytes.data(), sizeof k.key);
   SalvorSeal_KeyId(k.key, k.id);
   return k;
}

// A lookup over a fixed list of keys; `which` is the list's index.
struct KeyList {
   std::vector<TestKey> keys;
   SalvorSealLookup Lookup() const { return {Find, this}; }
   static const uint8_t *Find(const void *ctx, const uint8_t *id, int *which)
   {
      const auto *self = static_cast<const KeyList *>(ctx);
      for (size_t i = 0; i < self->keys.size(); i++) {
         if (std::memcmp(self->keys[i].id, id, SALVOR_SEAL_ID_SIZE) == 0) {
            *which = (int)i;
            return self->keys[i].key;
         }
      }
      return nullptr;
   }
};

std::vector<uint8_t>
Seal(const TestKey &k, const std::vector<uint8_t> &plain)
{
   std::vector<uint8_t> out(SALVOR_SEALED_BUFFER_SIZE);
   size_t n = SalvorSeal_Seal(k.key, k.id, plain.data(), plain.size(), out.data(), out.size());
   out.resize(n);
   return out;
}

SalvorOpenResult
Open(const KeyList &keys, const std::vector<uint8_t> &sealed, std::vector<uint8_t> *plain,
     int *which)
{
   plain->assign(SALVOR_RECV_BUFFER_SIZE, 0);
   size_t n = 0;
   SalvorOpenResult r = SalvorSeal_Open(keys.Lookup(), sealed.data(), sealed.size(),
                                        plain->data(), plain->size(), &n, which);
   plain->resize(r == SALVOR_OPEN_OK ? n : 0);
   return r;
}

std::vector<uint8_t>
DataMessage(size_t payload)
{
   std::vector<uint8_t> bytes = RandomBytes(payload, 7);
   return Encode(MakeHeader(SALVOR_MSG_DATA, 1234, 5),
                 std::string(bytes.begin(), bytes.end()));
}

TEST(Seal, RoundTripKeepsTheDatagramAndNamesTheKey)
{
   KeyList keys{{MakeKey(1), MakeKey(2), MakeKey(3)}};
   for (size_t payload : {size_t(0), size_t(1), SALVOR_MAX_PAYLOAD}) {
      std::vector<uint8_t> plain = DataMessage(payload);
      std::vector<uint8_t> sealed = Seal(keys.keys[1], plain);
      ASSERT_EQ(plain.size() + SALVOR_SEAL_OVERHEAD, sealed.size());
      EXPECT_TRUE(SalvorSeal_IsSealed(sealed.data(), sealed.size()));
      EXPECT_FALSE(SalvorSeal_IsSealed(plain.data(), plain.size()));
      // The plain header's magic and payload do not show through.
      EXPECT_EQ(sealed.end(), std::search(sealed.begin(), sealed.end(), plain.begin() + 8,
                                          plain.begin() + 12));
      std::vector<uint8_t> opened;
      int which = -1;
      ASSERT_EQ(SALVOR_OPEN_OK, Open(keys, sealed, &opened, &which));
      EXPECT_EQ(plain, opened);
      EXPECT_EQ(1, which);
   }
}

TEST(Seal, WireLayout)
{
   TestKey k = MakeKey(4);
   std::vector<uint8_t> a = Seal(k, DataMessage(10));
   std::vector<uint8_t> b = Seal(k, DataMessage(10));
   EXPECT_EQ(0, std::memcmp(a.data(), k.id, SALVOR_SEAL_ID_SIZE));
   const uint8_t magic[4] = {0xD5, 0xED, 0xA1, 0x5E};
   EXPECT_EQ(0, std::memcmp(a.data() + 8, magic, 4));
   // A fresh nonce for each datagram, so one plain datagram seals apart.
   EXPECT_NE(0, std::memcmp(a.data() + 12, b.data() + 12, SALVOR_SEAL_NONCE_SIZE));
   EXPECT_NE(a, b);
}

TEST(Seal, KeyIdentityIsFixedForAKey)
{
   // The identity is part of the wire format: a change breaks every host.
   uint8_t key[SALVOR_SEAL_KEY_SIZE] = {};
   uint8_t id[SALVOR_SEAL_ID_SIZE];
   SalvorSeal_KeyId(key, id);
   uint8_t again[SALVOR_SEAL_ID_SIZE];
   SalvorSeal_KeyId(key, again);
   EXPECT_EQ(0, std::memcmp(id, again, sizeof id));
   key[31] = 1;
   SalvorSeal_KeyId(key, again);
   EXPECT_NE(0, std::memcmp(id, again, sizeof id));
}

TEST(Seal, AnyChangedByteRefusesTheDatagram)
{
   KeyList keys{{MakeKey(5)}};
   std::vector<uint8_t> sealed = Seal(keys.keys[0], DataMessage(40));
   std::vector<uint8_t> opened;
   int which = -1;
   for (size_t at = 0; at < sealed.size(); at++) {
      for (uint8_t flip : {0x01, 0x80}) {
         std::vector<uint8_t> changed = sealed;
         changed[at] ^= flip;
         SalvorOpenResult r = Open(keys, changed, &opened, &which);
         EXPECT_NE(SALVOR_OPEN_OK, r) << "byte " << at;
         if (at >= SALVOR_SEAL_OFF_NONCE) {
            EXPECT_EQ(SALVOR_OPEN_BAD_SEAL, r) << "byte " << at;
         }
      }
   }
}

TEST(Seal, ShortWrongAndForeignDatagramsAreTold)
{
   KeyList keys{{MakeKey(6)}};
   TestKey stranger = MakeKey(7);
   std::vector<uint8_t> plain = DataMessage(20);
   std::vector<uint8_t> sealed = Seal(keys.keys[0], plain);
   std::vector<uint8_t> opened;
   int which = -1;
   for (size_t cut : {size_t(0), size_t(11), SALVOR_SEAL_OVERHEAD - 1}) {
      std::vector<uint8_t> shortOne(sealed.begin(), sealed.begin() + cut);
      EXPECT_EQ(SALVOR_OPEN_TOO_SHORT, Open(keys, shortOne, &opened, &which)) << cut;
   }
   std::vector<uint8_t> truncated(sealed.begin(), sealed.end() - 1);
   EXPECT_EQ(SALVOR_OPEN_BAD_SEAL, Open(keys, truncated, &opened, &which));
   EXPECT_EQ(SALVOR_OPEN_NOT_SEALED, Open(keys, plain, &opened, &which));
   EXPECT_EQ(SALVOR_OPEN_UNKNOWN_KEY, Open(keys, Seal(stranger, plain), &opened, &which));
   // A datagram that names a known key but was sealed with another.
   std::vector<uint8_t> forged(SALVOR_SEALED_BUFFER_SIZE);
   forged.resize(SalvorSeal_Seal(stranger.key, keys.keys[0].id, plain.data(), plain.size(),
                                 forged.data(), forged.size()));
   EXPECT_EQ(SALVOR_OPEN_BAD_SEAL, Open(keys, forged, &opened, &which));
   EXPECT_EQ(-1, which);
}

TEST(Seal, BuffersTooSmallAreRefusedNotOverrun)
{
   TestKey k = MakeKey(8);
   KeyList keys{{k}};
   std::vector<uint8_t> plain = DataMessage(100);
   std::vector<uint8_t> out(plain.size() + SALVOR_SEAL_OVERHEAD);
   EXPECT_EQ(0u, SalvorSeal_Seal(k.key, k.id, plain.data(), plain.size(), out.data(),
                                 out.size() - 1));
   ASSERT_EQ(out.size(), SalvorSeal_Seal(k.key, k.id, plain.data(), plain.size(), out.data(),
                                         out.size()));
   std::vector<uint8_t> small(plain.size() - 1);
   size_t n = 0;
   int which = -1;
   EXPECT_EQ(SALVOR_OPEN_TOO_LONG, SalvorSeal_Open(keys.Lookup(), out.data(), out.size(),
                                                   small.data(), small.size(), &n, &which));
}

TEST(Seal, ReplySealedWithTheHostsKeyOpensAtTheHost)
{
   // The collector answers with the key that opened the request; the
   // host, which knows only its own key, opens the reply.
   std::string text = SalvorKeys_FormatLine("a", MakeKey(9).key) + "\n" +
                      SalvorKeys_FormatLine("b", MakeKey(10).key) + "\n";
   SalvorKeys collector;
   std::string why;
   ASSERT_TRUE(SalvorKeys_Parse(text.data(), text.size(), &collector, &why)) << why;
   TestKey host = MakeKey(10);
   KeyList hostKeys{{host}};
   std::vector<uint8_t> request = Seal(host, DataMessage(30));
   std::vector<uint8_t> plain(SALVOR_RECV_BUFFER_SIZE);
   size_t n = 0;
   int which = -1;
   ASSERT_EQ(SALVOR_OPEN_OK,
             SalvorSeal_Open(SalvorKeys_Lookup(collector), request.data(), request.size(),
                             plain.data(), plain.size(), &n, &which));
   const SalvorKey &used = collector.keys[which];
   EXPECT_STREQ("b", used.name);
   std::vector<uint8_t> reply(SALVOR_SEALED_BUFFER_SIZE);
   std::vector<uint8_t> status = Encode(MakeHeader(SALVOR_MSG_DATA, 1234, 5));
   reply.resize(SalvorSeal_Seal(used.key, used.id, status.data(), status.size(), reply.data(),
                                reply.size()));
   std::vector<uint8_t> opened;
   ASSERT_EQ(SALVOR_OPEN_OK, Open(hostKeys, reply, &opened, &which));
   EXPECT_EQ(status, opened);
   SalvorKeys_Free(&collector);
}

}  // namespace
