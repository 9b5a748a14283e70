// The listenAddress and allowFrom elements; see salvorNetConfig.h.
#include "collector/startup/salvorNetConfig.h"

#include <cstring>

#include "collector/startup/salvorStartup.h"

SalvorNetSettings SalvorNetConfig{};

void
SalvorNetConfigReset()
{
   SalvorNetConfig.listenCount = 0;
   SalvorNetConfig.allowCount = 0;
}

namespace {

// The value without the blanks around it, into buf; false when too long
// to be an address or a network.
bool
SalvorTrimmed(const char *value, char *buf, size_t size)
{
   const char *blanks = " \t\r\n";
   value += std::strspn(value, blanks);
   size_t length = std::strlen(value);
   while (length > 0 && std::strchr(blanks, value[length - 1]) != nullptr) {
      length--;
   }
   if (length >= size) {
      return false;
   }
   std::memcpy(buf, value, length);
   buf[length] = '\0';
   return true;
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
SalvorApplyListenAddress(char *text)
{
   NetIp ip;
   char zone[SALVOR_ZONE_SIZE];
   if (SalvorSplitZone(text, &ip, zone) != 0) {
      return -1;
   }
   char canonical[NET_IP_TEXT_SIZE];
   Net_FormatIp(ip, canonical, sizeof canonical);
   for (int i = 0; i < SalvorNetConfig.listenCount; i++) {
      if (SalvorNetConfig.listen[i] == ip &&
          std::strcmp(SalvorNetConfig.listenZone[i], zone) == 0) {
         SalvorWin32InitLog("The listen address %s%s%s is given twice.\n", canonical,
                            zone[0] != '\0' ? "%" : "", zone);
         return -1;
      }
   }
   if (SalvorNetConfig.listenCount == SALVOR_MAX_LISTEN) {
      SalvorWin32InitLog("Too many listen addresses: at most %d.\n", SALVOR_MAX_LISTEN);
      return -1;
   }
   SalvorNetConfig.listen[SalvorNetConfig.listenCount] = ip;
   std::strcpy(SalvorNetConfig.listenZone[SalvorNetConfig.listenCount++], zone);
   SalvorWin32InitLog("Listen address will be: %s%s%s\n", canonical, zone[0] != '\0' ? "%" : "",
                      zone);
   return 0;
}

int
SalvorApplyAllowFrom(const char *text)
{
   NetNetwork net;
   const char *why = "";
   if (!Net_ParseNetwork(text, &net, &why)) {
      SalvorWin32InitLog("An invalid allowFrom network was specified: \"%s\": %s.\n", text,
                         why);
      return -1;
   }
   if (SalvorNetConfig.allowCount == SALVOR_MAX_ALLOW) {
      SalvorWin32InitLog("Too many allowFrom networks: at most %d.\n", SALVOR_MAX_ALLOW);
      return -1;
   }
   SalvorNetConfig.allow[SalvorNetConfig.allowCount++] = net;
   SalvorWin32InitLog("Datagrams will be accepted from: %s\n", text);
   return 0;
}

}  // namespace

bool
SalvorConfigApplyNetElement(const char *name, const char *value, int *result)
{
   bool listen = std::strncmp(name, "listenAddress", 13) == 0;
   if (!listen && std::strncmp(name, "allowFrom", 9) != 0) {
      return false;
   }
   char text[SALVOR_ZONE_SIZE];
   if (!SalvorTrimmed(value, text, sizeof text)) {
      SalvorWin32InitLog("The value of %s is too long: %s\n", name, value);
      *result = -1;
      return true;
   }
   *result = listen ? SalvorApplyListenAddress(text) : SalvorApplyAllowFrom(text);
   return true;
}
