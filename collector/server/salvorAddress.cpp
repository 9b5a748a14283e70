// A client's address in lines and paths; see salvorAddress.h.
#include "collector/server/salvorAddress.h"

#include <cstdio>

SalvorAddrHex::SalvorAddrHex(const NetIp &ip)
{
   if (ip.IsV4()) {
      std::snprintf(text, sizeof text, "%x", ip.V4());
      return;
   }
   size_t at = 0;
   for (int i = 0; i < 16; i++) {
      if (at == 0 && ip.bytes[i] == 0 && i < 15) {
         continue;  // no leading zeros
      }
      at += (size_t)std::snprintf(text + at, sizeof text - at, at == 0 ? "%x" : "%02x",
                                  ip.bytes[i]);
   }
}

SalvorHostLevels::SalvorHostLevels(const NetIp &ip)
{
   count = ip.IsV4() ? 4 : 8;
   for (int i = 0; i < count; i++) {
      if (ip.IsV4()) {
         std::snprintf(text[i], sizeof text[i], "%u", ip.bytes[12 + i]);
      } else {
         std::snprintf(text[i], sizeof text[i], "%x", ip.bytes[2 * i] << 8 | ip.bytes[2 * i + 1]);
      }
      levels[i] = text[i];
   }
}

int
SalvorHostLevels::Join(const char *separator, char *buf, size_t size) const
{
   size_t at = 0;
   for (int i = 0; i < count; i++) {
      int n = std::snprintf(buf + at, size - at, "%s%s", i > 0 ? separator : "", text[i]);
      if (n < 0 || (size_t)n >= size - at) {
         return -1;
      }
      at += (size_t)n;
   }
   return (int)at;
}
