// A client's address in lines and paths; see salvorAddress.h.
#include "collector/receive/salvorAddress.h"

#include <cstdio>
#include <cstring>

namespace {

// `name` as a number in `base` of at most `digits` digits without leading
// zeros (lower-case in hexadecimal); -1 when it is not one.
long
SalvorLevelValue(const char *name, int base, size_t digits)
{
   size_t n = std::strlen(name);
   if (n == 0 || n > digits || (n > 1 && name[0] == '0')) {
      return -1;
   }
   long value = 0;
   for (size_t i = 0; i < n; i++) {
      char c = name[i];
      int digit = c >= '0' && c <= '9'             ? c - '0'
                  : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                       : -1;
      if (digit < 0) {
         return -1;
      }
      value = value * base + digit;
   }
   return value;
}

}  // namespace

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

bool
SalvorIsHostLevel(const char *name, bool v4)
{
   long value = v4 ? SalvorLevelValue(name, 10, 3) : SalvorLevelValue(name, 16, 4);
   return value >= 0 && (!v4 || value <= 255);
}

bool
SalvorHostOfLevels(const char *const *levels, int count, NetIp *ip)
{
   if (count != 4 && count != 8) {
      return false;
   }
   NetIp out(0u);
   for (int i = 0; i < count; i++) {
      if (!SalvorIsHostLevel(levels[i], count == 4)) {
         return false;
      }
      long value = SalvorLevelValue(levels[i], count == 4 ? 10 : 16, 4);
      if (count == 4) {
         out.bytes[12 + i] = (uint8_t)value;
      } else {
         out.bytes[2 * i] = (uint8_t)(value >> 8);
         out.bytes[2 * i + 1] = (uint8_t)value;
      }
   }
   if (count == 8 && out.IsV4()) {
      return false;
   }
   *ip = out;
   return true;
}
