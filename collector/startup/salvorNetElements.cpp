// Address and network elements; see salvorNetElements.h.
#include "collector/startup/salvorNetElements.h"

#include <cstring>

#include "collector/startup/salvorStartup.h"

namespace {

// As long as any address or network with its zone may be, with the NUL.
constexpr size_t SALVOR_NET_TEXT_SIZE = SALVOR_ZONE_SIZE;

// The value without the blanks around it, into buf; -1 when too long to be
// an address or a network.
int
SalvorTrimmed(const char *name, const char *value, char *buf, size_t size)
{
   const char *blanks = " \t\r\n";
   const char *start = value + std::strspn(value, blanks);
   size_t length = std::strlen(start);
   while (length > 0 && std::strchr(blanks, start[length - 1]) != nullptr) {
      length--;
   }
   if (length >= size) {
      SalvorWin32InitLog("The value of %s is too long: %s\n", name, value);
      return -1;
   }
   std::memcpy(buf, start, length);
   buf[length] = '\0';
   return 0;
}

// fe80::/10: an address that means something only on one interface.
bool
SalvorIsLinkLocal(const NetIp &ip)
{
   return ip.bytes[0] == 0xfe && (ip.bytes[1] & 0xc0) == 0x80;
}

/*
 * Splits "address%zone" at the "%" into the address (in `text`) and the
 * zone; the zone may be given only for a link-local address, and such an
 * address needs one. -1, with the reason in the init log, otherwise.
 */
int
SalvorSplitZone(char *text, NetIp *ip, char *zone)
{
   char *percent = std::strchr(text, '%');
   const char *given = "";
   if (percent != nullptr) {
      *percent = '\0';
      given = percent + 1;
   }
   if (!Net_ParseIp(text, ip)) {
      SalvorWin32InitLog("An invalid listen address was specified: \"%s\" is not an IPv4 or "
                         "IPv6 address.\n", text);
      return -1;
   }
   bool linkLocal = SalvorIsLinkLocal(*ip);
   if (percent != nullptr && !linkLocal) {
      SalvorWin32InitLog("An invalid listen address was specified: \"%s%%%s\": only a "
                         "link-local address (fe80::/10) takes a zone.\n", text, given);
      return -1;
   }
   if (linkLocal && (given[0] == '\0' || std::strpbrk(given, "% \t") != nullptr)) {
      SalvorWin32InitLog("An invalid listen address was specified: \"%s%s%s\": a link-local "
                         "address needs the interface it is on, as in fe80::1%%eth0.\n", text,
                         percent != nullptr ? "%" : "", given);
      return -1;
   }
   std::strcpy(zone, given);  // shorter than the whole text, which fits
   return 0;
}

int
SalvorAddListenAddress(const SalvorListenList &list, int64_t most, const NetIp &ip,
                       const char *zone)
{
   char canonical[NET_IP_TEXT_SIZE];
   Net_FormatIp(ip, canonical, sizeof canonical);
   const char *percent = zone[0] != '\0' ? "%" : "";
   for (int i = 0; i < *list.count; i++) {
      if (list.ips[i] == ip && std::strcmp(list.zones[i], zone) == 0) {
         SalvorWin32InitLog("The listen address %s%s%s is given twice.\n", canonical, percent,
                            zone);
         return -1;
      }
   }
   if (*list.count == most) {
      SalvorWin32InitLog("Too many listen addresses: at most %d.\n", (int)most);
      return -1;
   }
   list.ips[*list.count] = ip;
   std::strcpy(list.zones[(*list.count)++], zone);
   SalvorWin32InitLog("Listen address will be: %s%s%s\n", canonical, percent, zone);
   return 0;
}

}  // namespace

int
SalvorReadListenAddressElement(const SalvorElementRow &row, const char *name, const char *text)
{
   char address[SALVOR_NET_TEXT_SIZE];
   if (SalvorTrimmed(name, text, address, sizeof address) != 0) {
      return -1;
   }
   NetIp ip;
   char zone[SALVOR_ZONE_SIZE];
   if (SalvorSplitZone(address, &ip, zone) != 0) {
      return -1;
   }
   return SalvorAddListenAddress(row.sets.listen, row.max, ip, zone);
}

int
SalvorReadNetworkElement(const SalvorElementRow &row, const char *name, const char *text)
{
   char network[SALVOR_NET_TEXT_SIZE];
   if (SalvorTrimmed(name, text, network, sizeof network) != 0) {
      return -1;
   }
   NetNetwork net;
   const char *why = "";
   if (!Net_ParseNetwork(network, &net, &why)) {
      SalvorWin32InitLog("An invalid %s network was specified: \"%s\": %s.\n", row.what,
                         network, why);
      return -1;
   }
   if (*row.sets.networks.count == row.max) {
      SalvorWin32InitLog("Too many %s networks: at most %d.\n", row.what, (int)row.max);
      return -1;
   }
   row.sets.networks.items[(*row.sets.networks.count)++] = net;
   SalvorWin32InitLog("%s%s\n", row.says, network);
   return 0;
}
