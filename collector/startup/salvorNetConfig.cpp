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

int
SalvorApplyListenAddress(const char *text)
{
   NetIp ip;
   if (!Net_ParseIp(text, &ip)) {
      SalvorWin32InitLog("An invalid listen address was specified: \"%s\" is not an IPv4 or "
                         "IPv6 address.\n", text);
      return -1;
   }
   for (int i = 0; i < SalvorNetConfig.listenCount; i++) {
      if (SalvorNetConfig.listen[i] == ip) {
         SalvorWin32InitLog("The listen address %s is given twice.\n", text);
         return -1;
      }
   }
   if (SalvorNetConfig.listenCount == SALVOR_MAX_LISTEN) {
      SalvorWin32InitLog("Too many listen addresses: at most %d.\n", SALVOR_MAX_LISTEN);
      return -1;
   }
   SalvorNetConfig.listen[SalvorNetConfig.listenCount++] = ip;
   char canonical[NET_IP_TEXT_SIZE];
   Net_FormatIp(ip, canonical, sizeof canonical);
   SalvorWin32InitLog("Listen address will be: %s\n", canonical);
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
   char text[64];
   if (!SalvorTrimmed(value, text, sizeof text)) {
      SalvorWin32InitLog("The value of %s is too long: %s\n", name, value);
      *result = -1;
      return true;
   }
   *result = listen ? SalvorApplyListenAddress(text) : SalvorApplyAllowFrom(text);
   return true;
}
