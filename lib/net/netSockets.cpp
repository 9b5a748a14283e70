// The BSD-socket half of the socket layer that both back ends share; see
// netSockets.h.
#include "lib/net/netSockets.h"

#include <cstdio>
#include <cstring>

sockaddr_in
NetToSockaddr(uint32_t ip, uint16_t port)
{
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(ip);
   addr.sin_port = htons(port);
   return addr;
}

void
NetFromSockaddr(const sockaddr_in &addr, NetAddr *out)
{
   out->ip = ntohl(addr.sin_addr.s_addr);
   out->port = ntohs(addr.sin_port);
   out->v6 = false;
}

void
NetFromAnySockaddr(const sockaddr_in6 &storage, NetAddr *out)
{
   if (storage.sin6_family != AF_INET6) {
      sockaddr_in v4;
      std::memcpy(&v4, &storage, sizeof v4);
      NetFromSockaddr(v4, out);
      return;
   }
   out->ip = 0;
   out->port = ntohs(storage.sin6_port);
   out->v6 = true;
   std::memcpy(out->ip6, &storage.sin6_addr, sizeof out->ip6);
   out->scope = storage.sin6_scope_id;
}

socklen_t
NetToAnySockaddr(const NetAddr &to, sockaddr_in6 *storage)
{
   if (!to.v6) {
      sockaddr_in v4 = NetToSockaddr(to.ip, to.port);
      std::memcpy(storage, &v4, sizeof v4);
      return sizeof v4;
   }
   *storage = sockaddr_in6{};
   storage->sin6_family = AF_INET6;
   storage->sin6_port = htons(to.port);
   std::memcpy(&storage->sin6_addr, to.ip6, sizeof to.ip6);
   storage->sin6_scope_id = to.scope;
   return sizeof *storage;
}

int
NetBatchAllowed(const NetOutgoing *msgs, int count)
{
   size_t total = 0;
   for (int i = 0; i < count; i++) {
      total += msgs[i].length;
   }
   if (!NetPlat_Allowed(PLAT_SENDTO, &total)) {
      return -1;
   }
   return count < NET_MAX_BATCH ? count : NET_MAX_BATCH;
}

namespace {

// The peer as a socket address; its length.
socklen_t
NetPeerToSockaddr(const NetPeer &peer, sockaddr_storage *out)
{
   *out = {};
   if (peer.v6) {
      sockaddr_in6 *a = reinterpret_cast<sockaddr_in6 *>(out);
      a->sin6_family = AF_INET6;
      std::memcpy(&a->sin6_addr, peer.addr, 16);
      a->sin6_port = htons(peer.port);
      a->sin6_scope_id = peer.scope;
      return sizeof *a;
   }
   sockaddr_in *a = reinterpret_cast<sockaddr_in *>(out);
   a->sin_family = AF_INET;
   std::memcpy(&a->sin_addr, peer.addr, 4);
   a->sin_port = htons(peer.port);
   return sizeof *a;
}

// The first address of `family` that getaddrinfo gives for host; its error.
int
NetLookup(const char *host, int family, int flags, NetPeer *out)
{
   addrinfo hints{};
   hints.ai_family = family;
   hints.ai_socktype = SOCK_DGRAM;
   hints.ai_flags = flags;
   addrinfo *res = nullptr;
   int rc = getaddrinfo(host, nullptr, &hints, &res);
   if (rc != 0) {
      return rc;
   }
   if (res == nullptr) {
      return EAI_NONAME;
   }
   if (res->ai_family == AF_INET6) {
      const sockaddr_in6 *a = reinterpret_cast<const sockaddr_in6 *>(res->ai_addr);
      out->v6 = true;
      std::memcpy(out->addr, &a->sin6_addr, 16);
      out->scope = a->sin6_scope_id;
   } else {
      const sockaddr_in *a = reinterpret_cast<const sockaddr_in *>(res->ai_addr);
      std::memcpy(out->addr, &a->sin_addr, 4);
   }
   freeaddrinfo(res);
   return 0;
}

}  // namespace

NetSocket
Net_UdpSocket(bool nonBlocking)
{
   NetPeer v4{};
   return Net_UdpSocketFor(&v4, nonBlocking);
}

int
Net_Bind(NetSocket sock, uint32_t ip, uint16_t port)
{
   NetPeer local = Net_PeerFromIPv4(NetAddr{ip, port});
   return Net_BindPeer(sock, &local);
}

int
Net_Connect(NetSocket sock, const NetAddr *peer)
{
   NetPeer to = Net_PeerFromIPv4(*peer);
   return Net_ConnectPeer(sock, &to);
}

int
Net_BindPeer(NetSocket sock, const NetPeer *local)
{
   if (!NetPlat_Allowed(PLAT_BIND)) {
      return -1;
   }
   sockaddr_storage addr;
   socklen_t len = NetPeerToSockaddr(*local, &addr);
   return NetPlat_Result(bind(NetPlat_Handle(sock), reinterpret_cast<sockaddr *>(&addr), len));
}

int
Net_ConnectPeer(NetSocket sock, const NetPeer *peer)
{
   if (!NetPlat_Allowed(PLAT_CONNECT)) {
      return -1;
   }
   sockaddr_storage addr;
   socklen_t len = NetPeerToSockaddr(*peer, &addr);
   return NetPlat_Result(
      connect(NetPlat_Handle(sock), reinterpret_cast<sockaddr *>(&addr), len));
}

int
Net_LocalAddr(NetSocket sock, NetAddr *out)
{
   sockaddr_in6 addr{};  // either family
   socklen_t len = sizeof addr;
   int rc = getsockname(NetPlat_Handle(sock), reinterpret_cast<sockaddr *>(&addr), &len);
   if (NetPlat_Result(rc) != 0) {
      return -1;
   }
   NetFromAnySockaddr(addr, out);
   return 0;
}

int
Net_SetV6Only(NetSocket sock, bool only)
{
   int value = only ? 1 : 0;  // a DWORD on Windows, of the same size
   return NetPlat_Result(setsockopt(NetPlat_Handle(sock), IPPROTO_IPV6, IPV6_V6ONLY,
                                    reinterpret_cast<const char *>(&value), sizeof value));
}

bool
Net_ParseIPv4(const char *text, uint32_t *ip)
{
   in_addr addr;
   if (inet_pton(AF_INET, text, &addr) != 1) {
      return false;
   }
   *ip = ntohl(addr.s_addr);
   return true;
}

bool
Net_Resolve(const char *host, uint32_t *ip, const char **error)
{
   if (Net_ParseIPv4(host, ip)) {
      return true;
   }
   addrinfo hints{};
   hints.ai_family = AF_INET;
   hints.ai_socktype = SOCK_DGRAM;
   addrinfo *res = nullptr;
   int rc = getaddrinfo(host, nullptr, &hints, &res);
   if (rc != 0 || res == nullptr) {
      *error = rc != 0 ? gai_strerror(rc) : "no IPv4 address";
      return false;
   }
   *ip = ntohl(reinterpret_cast<const sockaddr_in *>(res->ai_addr)->sin_addr.s_addr);
   freeaddrinfo(res);
   return true;
}

bool
Net_ResolvePeer(const char *host, uint16_t port, NetPeer *out, const char **error)
{
   *out = NetPeer{};
   int rc;
   if (std::strchr(host, ':') != nullptr) {
      rc = NetLookup(host, AF_INET6, AI_NUMERICHOST, out);
   } else {
      // A name with both kinds of address takes IPv4, which collectors
      // listen on; IPv6 only when there is no IPv4 address.
      rc = NetLookup(host, AF_INET, 0, out);
      if (rc != 0 && NetLookup(host, AF_INET6, 0, out) == 0) {
         rc = 0;
      }
   }
   if (rc != 0) {
      *error = gai_strerror(rc);
      return false;
   }
   out->port = port;
   return true;
}

void
Net_FormatPeer(const NetPeer *peer, char *buf, size_t size)
{
   char host[INET6_ADDRSTRLEN] = "?";
   inet_ntop(peer->v6 ? AF_INET6 : AF_INET, peer->addr, host, sizeof host);
   if (!peer->v6) {
      std::snprintf(buf, size, "%s:%u", host, peer->port);
   } else if (peer->scope != 0) {
      std::snprintf(buf, size, "[%s%%%u]:%u", host, (unsigned)peer->scope, peer->port);
   } else {
      std::snprintf(buf, size, "[%s]:%u", host, peer->port);
   }
}
