// The collector's sockets; see salvorListen.h.
#include "collector/receive/salvorListen.h"

#include <string>

#include "collector/receive/salvorAddress.h"
#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorStartup.h"
#include "lib/log/log.h"

namespace {

// The one socket bound to every IPv4 address.
bool
SalvorOpenSocket(NetSocket *sock)
{
   if (!SalvorWin32InitWinsock()) {
      SalvorFatal("Failed to initialize winsock interface");
   }
   *sock = Net_UdpSocket();
   if (*sock < 0) {
      SalvorFatal("Couldn't create socket (returned %d): %s\n", *sock,
                  Net_ErrorText(Net_LastError()));
   }
   if (Net_Bind(*sock, 0, (uint16_t)(SalvorConfig.port & 0xffff)) != 0) {
      SalvorFatal("Couldn't bind socket to port %d: %s\n", SalvorConfig.port,
                  Net_ErrorText(Net_LastError()));
   }
   Net_IgnorePeerResets(*sock);  // their receive errors are transient in any case
   return true;
}

bool
SalvorAnyIPv4Listed()
{
   for (int i = 0; i < SalvorNetConfig.listenCount; i++) {
      if (SalvorNetConfig.listen[i].IsV4()) {
         return true;
      }
   }
   return false;
}

/*
 * The local address to bind: a link-local address with its zone's
 * interface, which only the socket library can name (so not before it
 * has started).
 */
NetPeer
SalvorLocalPeer(const NetIp &ip, const char *zone, uint16_t port, std::string *text)
{
   *text = SalvorAddrText(ip).text;
   if (zone[0] == '\0') {
      return Net_PeerFromIp(ip, port);
   }
   text->append("%").append(zone);
   NetPeer local{};
   const char *why = "";
   if (!Net_ResolvePeer(text->c_str(), port, &local, &why)) {
      SalvorFatal("Couldn't bind socket to %s port %d: %s\n", text->c_str(), SalvorConfig.port,
                  why);
   }
   return local;
}

NetSocket
SalvorOpenListenSocket(const NetIp &ip, const char *zone, bool dualStack)
{
   uint16_t port = (uint16_t)(SalvorConfig.port & 0xffff);
   std::string name;
   NetPeer local = SalvorLocalPeer(ip, zone, port, &name);
   NetSocket sock = Net_UdpSocketFor(&local);
   if (sock < 0) {
      SalvorFatal("Couldn't create socket (returned %d): %s\n", sock,
                  Net_ErrorText(Net_LastError()));
   }
   if (local.v6 && Net_SetV6Only(sock, !dualStack) != 0) {
      SalvorFatal("Couldn't set up the socket for %s: %s\n", name.c_str(),
                  Net_ErrorText(Net_LastError()));
   }
   if (Net_BindPeer(sock, &local) != 0) {
      SalvorFatal("Couldn't bind socket to %s port %d: %s\n", name.c_str(), SalvorConfig.port,
                  Net_ErrorText(Net_LastError()));
   }
   if (Net_IgnorePeerResets(sock) != 0) {
      // The receive errors they cause are still taken as transient.
      Log("Reports of unreachable peers stay on for %s: %s\n", name.c_str(),
          Net_ErrorText(Net_LastError()));
   }
   Log("Listening on %s port %d%s.\n", name.c_str(), SalvorConfig.port,
       local.v6 && dualStack ? " (IPv4 as well)" : "");
   return sock;
}

}  // namespace

int
SalvorOpenListenSockets(NetSocket *socks)
{
   if (SalvorNetConfig.listenCount == 0) {
      SalvorOpenSocket(&socks[0]);
      return 1;
   }
   if (!SalvorWin32InitWinsock()) {
      SalvorFatal("Failed to initialize winsock interface");
   }
   static const NetIp any6{};
   bool dualStack = !SalvorAnyIPv4Listed();
   for (int i = 0; i < SalvorNetConfig.listenCount; i++) {
      const NetIp &ip = SalvorNetConfig.listen[i];
      socks[i] = SalvorOpenListenSocket(ip, SalvorNetConfig.listenZone[i], dualStack && ip == any6);
   }
   return SalvorNetConfig.listenCount;
}
