// The cost of sealing and of opening one full datagram (1,600 bytes of
// header and payload), with a keys table of 1,000 hosts to look the key up
// in, and the allocations either makes (counted through operator new; the
// framing and libsodium's AEAD use no malloc). Prints nanoseconds per
// datagram and MB/s of plain bytes for each.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "protocol/salvorKeys.h"
#include "protocol/salvorSeal.h"

namespace {

size_t allocations = 0;

constexpr int HOSTS = 1000;
constexpr int ROUNDS = 200000;

double
Seconds(std::chrono::steady_clock::time_point since)
{
   return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void
Report(const char *what, double seconds)
{
   std::printf("%-6s %7.0f ns per datagram, %6.0f MB/s\n", what, seconds * 1e9 / ROUNDS,
               ROUNDS * (double)SALVOR_RECV_BUFFER_SIZE / seconds / 1e6);
}

}  // namespace

void *
operator new(size_t size)
{
   allocations++;
   if (void *p = std::malloc(size == 0 ? 1 : size)) {
      return p;
   }
   throw std::bad_alloc();
}

void
operator delete(void *p) noexcept
{
   std::free(p);
}

void
operator delete(void *p, size_t) noexcept
{
   std::free(p);
}

int
main()
{
   std::string text;
   for (int i = 0; i < HOSTS; i++) {
      uint8_t key[SALVOR_SEAL_KEY_SIZE];
      SalvorSeal_MakeKey(key);
      text += SalvorKeys_FormatLine(("host" + std::to_string(i)).c_str(), key) + "\n";
   }
   SalvorKeys keys;
   std::string why;
   if (!SalvorKeys_Parse(text.data(), text.size(), &keys, &why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return 1;
   }
   const SalvorKey &host = keys.keys[HOSTS / 3];
   static uint8_t plain[SALVOR_RECV_BUFFER_SIZE], sealed[SALVOR_SEALED_BUFFER_SIZE],
      opened[SALVOR_RECV_BUFFER_SIZE];
   SalvorSealLookup lookup = SalvorKeys_Lookup(keys);
   size_t before = allocations;
   auto start = std::chrono::steady_clock::now();
   size_t n = 0;
   for (int i = 0; i < ROUNDS; i++) {
      plain[100] = (uint8_t)i;
      n = SalvorSeal_Seal(host.key, host.id, plain, sizeof plain, sealed, sizeof sealed);
   }
   Report("seal", Seconds(start));
   start = std::chrono::steady_clock::now();
   int opens = 0;
   for (int i = 0; i < ROUNDS; i++) {
      size_t length = 0;
      int which = -1;
      opens += SalvorSeal_Open(lookup, sealed, n, opened, sizeof opened, &length, &which) ==
               SALVOR_OPEN_OK;
   }
   Report("open", Seconds(start));
   std::printf("allocations while sealing and opening: %zu; opened %d of %d\n",
               allocations - before, opens, ROUNDS);
   SalvorKeys_Free(&keys);
   return opens == ROUNDS && allocations == before ? 0 : 1;
}
