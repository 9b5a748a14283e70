// The portable half of the socket layer; see net.h. Both back ends report
// errors as errno-style codes, so what those codes mean is decided here once.
#include "lib/net/net.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/string/str.h"

bool
Net_IsTransientReceiveError(int err)
{
   switch (err) {
   case ECONNREFUSED:   // an earlier reply's port was closed
   case ENETRESET:      // an earlier reply outlived its time to live (Windows)
   case EHOSTUNREACH:
   case ENETUNREACH:
   case EINTR:
   case ENOBUFS:
   case ENOMEM:
      return true;
   default:
      return false;
   }
}

bool
Net_WouldBlock(int err)
{
   return err == EAGAIN || err == EWOULDBLOCK;
}

bool
Net_Interrupted(int err)
{
   return err == EINTR;
}

bool
Net_Refused(int err)
{
   return err == ECONNREFUSED;
}

bool
Net_SendBufferFull(int err)
{
   return err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS;
}

void
Net_FormatIPv4(uint32_t ip, char *buf, size_t size)
{
   std::snprintf(buf, size, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xff, (ip >> 8) & 0xff,
                 ip & 0xff);
}

bool
NetIp::IsV4() const
{
   static constexpr uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
   return std::memcmp(bytes, mapped, sizeof mapped) == 0;
}

NetIp
Net_AddrIp(const NetAddr &addr)
{
   if (!addr.v6) {
      return NetIp(addr.ip);
   }
   NetIp ip;
   std::memcpy(ip.bytes, addr.ip6, sizeof ip.bytes);
   return ip;
}

NetPeer
Net_PeerFromIp(const NetIp &ip, uint16_t port)
{
   NetPeer peer{};
   peer.v6 = !ip.IsV4();
   std::memcpy(peer.addr, peer.v6 ? ip.bytes : ip.bytes + 12, peer.v6 ? 16 : 4);
   peer.port = port;
   return peer;
}

NetPeer
Net_PeerFromIPv4(const NetAddr &addr)
{
   return Net_PeerFromIp(NetIp(addr.ip), addr.port);
}

void
Net_FormatIp(const NetIp &ip, char *buf, size_t size)
{
   if (ip.IsV4()) {
      Net_FormatIPv4(ip.V4(), buf, size);
      return;
   }
   uint16_t groups[8];
   for (int i = 0; i < 8; i++) {
      groups[i] = (uint16_t)(ip.bytes[2 * i] << 8 | ip.bytes[2 * i + 1]);
   }
   // The longest run of two or more zero groups, the first of equals,
   // becomes "::".
   int bestAt = -1;
   int bestLength = 1;
   for (int i = 0; i < 8;) {
      int j = i;
      while (j < 8 && groups[j] == 0) {
         j++;
      }
      if (j - i > bestLength) {
         bestAt = i;
         bestLength = j - i;
      }
      i = j > i ? j : i + 1;
   }
   size_t at = 0;
   buf[0] = '\0';
   for (int i = 0; i < 8 && at < size; i++) {
      if (i == bestAt) {
         at += (size_t)std::snprintf(buf + at, size - at, "::");
         i += bestLength - 1;
         continue;
      }
      bool colon = i > 0 && i != bestAt + bestLength;
      at += (size_t)std::snprintf(buf + at, size - at, "%s%x", colon ? ":" : "", groups[i]);
   }
}

namespace {

// A dotted quad of exactly `length` bytes: four decimal numbers up to 255,
// without leading zeros (which some readers take for octal).
bool
NetParseV4(const char *text, size_t length, uint32_t *ip)
{
   uint32_t value = 0;
   int parts = 0;
   size_t i = 0;
   while (parts < 4) {
      size_t start = i;
      uint32_t part = 0;
      while (i < length && i - start < 4 && text[i] >= '0' && text[i] <= '9') {
         part = part * 10 + (uint32_t)(text[i++] - '0');
      }
      size_t digits = i - start;
      if (digits == 0 || digits > 3 || part > 255 || (digits > 1 && text[start] == '0')) {
         return false;
      }
      value = value << 8 | part;
      if (++parts < 4) {
         if (i >= length || text[i] != '.') {
            return false;
         }
         i++;
      }
   }
   *ip = value;
   return i == length;
}

/*
 * IPv6 text (RFC 4291: groups of up to four hexadecimal digits, one "::"
 * for a run of zero groups, a dotted quad for the last 32 bits).
 */
bool
NetParseV6(const char *p, uint8_t out[16])
{
   uint16_t groups[8];
   int n = 0;
   int gapAt = -1;
   if (p[0] == ':') {
      if (p[1] != ':') {
         return false;
      }
      gapAt = 0;
      p += 2;
   }
   while (*p != '\0') {
      const char *q = p;
      uint32_t value = 0;
      while (Str_HexDigitValue(*q) >= 0 && q - p < 5) {
         value = value << 4 | (uint32_t)Str_HexDigitValue(*q++);
      }
      if (*q == '.') {
         uint32_t v4;
         if (n > 6 || !NetParseV4(p, std::strlen(p), &v4)) {
            return false;
         }
         groups[n++] = (uint16_t)(v4 >> 16);
         groups[n++] = (uint16_t)v4;
         break;
      }
      if (q == p || q - p > 4 || n == 8) {
         return false;
      }
      groups[n++] = (uint16_t)value;
      p = q;
      if (*p == '\0') {
         break;
      }
      if (*p++ != ':') {
         return false;
      }
      if (*p == ':') {
         if (gapAt >= 0) {
            return false;
         }
         gapAt = n;
         p++;
      } else if (*p == '\0') {
         return false;
      }
   }
   if (gapAt < 0 ? n != 8 : n > 7) {
      return false;  // "::" stands for one zero group at least
   }
   std::memset(out, 0, 16);
   int tail = gapAt < 0 ? 0 : n - gapAt;
   for (int i = 0; i < n; i++) {
      int at = i < n - tail ? i : 8 - (n - i);
      out[2 * at] = (uint8_t)(groups[i] >> 8);
      out[2 * at + 1] = (uint8_t)groups[i];
   }
   return true;
}

}  // namespace

bool
Net_ParseIp(const char *text, NetIp *out)
{
   if (std::strchr(text, ':') == nullptr) {
      uint32_t v4;
      if (!NetParseV4(text, std::strlen(text), &v4)) {
         return false;
      }
      *out = NetIp(v4);
      return true;
   }
   return NetParseV6(text, out->bytes);
}

bool
Net_ParseNetwork(const char *text, NetNetwork *out, const char **why)
{
   const char *slash = std::strchr(text, '/');
   size_t length = slash != nullptr ? (size_t)(slash - text) : std::strlen(text);
   char address[NET_IP_TEXT_SIZE];
   NetIp base;
   if (length >= sizeof address) {
      *why = "not an IPv4 or IPv6 address";
      return false;
   }
   std::memcpy(address, text, length);
   address[length] = '\0';
   if (!Net_ParseIp(address, &base)) {
      *why = "not an IPv4 or IPv6 address";
      return false;
   }
   bool v4Text = std::strchr(address, ':') == nullptr;
   int prefix = 128;
   if (slash != nullptr) {
      const char *digits = slash + 1;
      size_t count = std::strspn(digits, "0123456789");
      int limit = v4Text ? 32 : 128;
      prefix = count >= 1 && count <= 3 ? std::atoi(digits) : -1;
      if (digits[count] != '\0' || prefix < 0 || prefix > limit) {
         *why = v4Text ? "the prefix length is not a number from 0 to 32"
                       : "the prefix length is not a number from 0 to 128";
         return false;
      }
      prefix += v4Text ? 96 : 0;
   }
   for (int bit = prefix; bit < 128; bit++) {
      if ((base.bytes[bit / 8] >> (7 - bit % 8) & 1) != 0) {
         *why = "the address has bits set past its prefix length";
         return false;
      }
   }
   *out = NetNetwork{base, prefix};
   return true;
}

bool
Net_InNetwork(const NetIp &ip, const NetNetwork &net)
{
   bool v4Network = net.base.IsV4() && net.prefix >= 96;
   if (ip.IsV4() != v4Network) {
      return false;
   }
   int whole = net.prefix / 8;
   if (std::memcmp(ip.bytes, net.base.bytes, (size_t)whole) != 0) {
      return false;
   }
   int rest = net.prefix % 8;
   uint8_t mask = (uint8_t)(0xff << (8 - rest));
   return rest == 0 || (ip.bytes[whole] & mask) == (net.base.bytes[whole] & mask);
}
