// What both back ends of the socket layer share: the BSD socket calls
// that Windows Sockets has under the same names (address records, name
// look-ups, bind, connect), compiled once in netSockets.cpp. Each back
// end supplies the NetPlat_ hooks below for what does differ.
#pragma once

#include <cstddef>

#include "lib/misc/platFault.h"
#include "lib/net/net.h"

// The one difference the shared code cannot leave to a hook: where the
// socket declarations live, and what a socket is.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET NetSysSocket;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
typedef int NetSysSocket;
#endif

// The failure seam; a refused call leaves its error for Net_LastError.
bool NetPlat_Allowed(PlatCall call, size_t *len = nullptr);
NetSysSocket NetPlat_Handle(NetSocket sock);
// A call that returns 0 on success: 0, or -1 with its error kept for
// Net_LastError.
int NetPlat_Result(int rc);

sockaddr_in NetToSockaddr(uint32_t ip, uint16_t port);
void NetFromSockaddr(const sockaddr_in &addr, NetAddr *out);
// A source or local address of either family; `storage` is at least a sockaddr_in6.
void NetFromAnySockaddr(const sockaddr_in6 &storage, NetAddr *out);
// A destination of either family into `storage`; its length.
socklen_t NetToAnySockaddr(const NetAddr &to, sockaddr_in6 *storage);

/*
 * The seam of a batch send: the number of `msgs` one batch sends (at most
 * NET_MAX_BATCH), or -1 when the seam refuses their bytes.
 */
int NetBatchAllowed(const NetOutgoing *msgs, int count);
