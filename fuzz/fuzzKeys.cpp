// Fuzzes the keys file's parser. What it takes must hold distinct names
// and keys, each found by its identity, and must read back the same when
// written out again as key lines.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/salvorKeys.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   SalvorKeys keys;
   std::string why;
   if (!SalvorKeys_Parse(reinterpret_cast<const char *>(data), size, &keys, &why)) {
      if (why.empty() || keys.keys != nullptr || keys.count != 0) {
         std::abort();
      }
      return 0;
   }
   std::string again;
   for (size_t i = 0; i < keys.count; i++) {
      if (SalvorKeys_Find(keys, keys.keys[i].id) != &keys.keys[i]) {
         std::abort();
      }
      again += SalvorKeys_FormatLine(keys.keys[i].name, keys.keys[i].key) + "\n";
   }
   SalvorKeys reread;
   if (!SalvorKeys_Parse(again.data(), again.size(), &reread, &why) ||
       reread.count != keys.count ||
       (keys.count > 0 && std::memcmp(reread.keys, keys.keys, keys.count * sizeof(SalvorKey)) != 0)) {
      std::abort();
   }
   SalvorKeys_Free(&reread);
   SalvorKeys_Free(&keys);
   return 0;
}
