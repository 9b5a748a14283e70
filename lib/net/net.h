// UDP sockets on IPv4 and IPv6: the one socket layer of the collector, the
// client tools, the tests and the benchmarks.
//
// Stands for the socket library's calls (start-up, socket, bind, connect,
// the wait for a readable socket, receive, send, clean-up). Failures return
// a negative value with the error in Net_LastError(); the POSIX back end
// (netPosix.cpp) uses BSD sockets and errno, and every call passes the
// failure seam of lib/misc/platFault.h, so that tests can make any of them
// fail.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int NetSocket;
constexpr NetSocket NET_INVALID_SOCKET = -1;

/*
 * An IPv4 address (host order, first number of the dotted quad in the
 * most significant byte) and port; or, with v6 set, an IPv6 address, its
 * zone and the port. The IPv6 fields have defaults, so that an IPv4
 * address is written as before: NetAddr{ip, port}.
 */
struct NetAddr {
   uint32_t ip;
   uint16_t port;
   bool v6 = false;
   uint8_t ip6[16] = {};  // network order
   uint32_t scope = 0;    // IPv6 zone (interface index)
};

/*
 * An IP address of either family, as a server tells hosts apart: 16 bytes
 * in network order, an IPv4 address in its IPv4-mapped form
 * (::ffff:a.b.c.d). A host that reaches a dual-stack socket over IPv4 has
 * the same NetIp as when it reaches an IPv4 socket.
 */
struct NetIp {
   uint8_t bytes[16];

   NetIp() = default;
   // From an IPv4 address in host order; implicit, as IPv4 addresses have
   // always been passed around as such numbers.
   constexpr NetIp(uint32_t ipv4)
      : bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, (uint8_t)(ipv4 >> 24),
              (uint8_t)(ipv4 >> 16), (uint8_t)(ipv4 >> 8), (uint8_t)ipv4}
   {
   }
   bool operator==(const NetIp &) const = default;
   // An IPv4 address (held IPv4-mapped).
   bool IsV4() const;
   // The IPv4 address in host order; meaningful when IsV4().
   uint32_t V4() const
   {
      return (uint32_t)bytes[12] << 24 | (uint32_t)bytes[13] << 16 | (uint32_t)bytes[14] << 8 |
             bytes[15];
   }
};
// The address of a source or destination.
NetIp Net_AddrIp(const NetAddr &addr);
// "a.b.c.d" for an IPv4 address, the RFC 5952 text ("2001:db8::1") else.
constexpr size_t NET_IP_TEXT_SIZE = 46;
void Net_FormatIp(const NetIp &ip, char *buf, size_t size);
/*
 * A dotted quad (four decimal numbers, no leading zeros) or an IPv6
 * address (without brackets or zone) to an address; false when the text
 * is neither. Needs no socket library.
 */
bool Net_ParseIp(const char *text, NetIp *out);

/*
 * A network: the addresses whose first `prefix` bits (of the 128 of a
 * NetIp) equal those of `base`. An IPv4 network has an IPv4-mapped base
 * and a prefix of at least 96; it holds IPv4 addresses only, and any other
 * network holds IPv6 addresses only.
 */
struct NetNetwork {
   NetIp base;
   int prefix;
};
/*
 * CIDR text ("10.0.0.0/8", "2001:db8::/32"; a bare address is one host)
 * to a network; false with the reason in *why (a static text) when it is
 * not one, or has bits set past its prefix.
 */
bool Net_ParseNetwork(const char *text, NetNetwork *out, const char **why);
bool Net_InNetwork(const NetIp &ip, const NetNetwork &net);

constexpr uint32_t NET_ANY = 0;                // every local address
constexpr uint32_t NET_LOOPBACK = 0x7F000001;  // 127.0.0.1

// Starts the socket library asking for `version` (major in the low byte);
// returns 0 and the granted version, or an error code.
int Net_Startup(uint16_t version, uint16_t *granted);
// Stops the socket library. Each socket is closed by its owner with
// Net_Close first.
void Net_Cleanup();

// A UDP socket; with nonBlocking, receives and sends never wait.
NetSocket Net_UdpSocket(bool nonBlocking = false);
void Net_Close(NetSocket sock);
int Net_Bind(NetSocket sock, uint32_t ip, uint16_t port);
// Fixes the peer: sends go to it, and only its datagrams are received.
int Net_Connect(NetSocket sock, const NetAddr *peer);
int Net_LocalAddr(NetSocket sock, NetAddr *addr);
/*
 * Asks for a receive buffer of `bytes` (0 on success); *granted receives
 * what the system gave. With `force`, first tries to pass the system's
 * limit on buffer sizes, which takes the privilege to administer the
 * network, and falls back to the plain request without it.
 */
int Net_SetReceiveBuffer(NetSocket sock, int bytes, bool force, int *granted);

// 1 when readable, 0 when the wait timed out, negative on error.
int Net_WaitReadable(NetSocket sock, int timeoutMs);
/*
 * On a socket of Net_UdpSocketFor for IPv6: only IPv6 (true), or IPv4 as
 * well, its hosts seen as IPv4-mapped addresses (false). Before binding.
 */
int Net_SetV6Only(NetSocket sock, bool only);
/*
 * Readies a socket that answers many peers. Windows fails the next
 * receive of a UDP socket when an earlier datagram drew an ICMP port
 * unreachable or time exceeded; here those reports are switched off, so
 * a host cannot disturb the receives of others. Elsewhere nothing to do.
 * 0, or -1 when the system refused (the errors are then still reported).
 */
int Net_IgnorePeerResets(NetSocket sock);

/*
 * A wake-up that another thread can signal to end a wait early (a stop
 * request that should not wait for the wait's timeout). Signals are
 * sticky: a signal before the wait ends the wait at once.
 */
struct NetWakeup;
constexpr int NET_RECV_TIMED_OUT = 0;
constexpr int NET_RECV_WOKEN = -2;
NetWakeup *Net_WakeupCreate();  // null on failure
void Net_WakeupDestroy(NetWakeup *wakeup);
void Net_WakeupSignal(NetWakeup *wakeup);  // safe from any thread
/*
 * Like Net_WaitReadable, but also ends when `wakeup` (may be null) is
 * signalled, and consumes the signal: 1 when the socket is readable, 2
 * when only the wake-up came, 0 on timeout, negative on error.
 */
int Net_WaitReadableOrWakeup(NetSocket sock, NetWakeup *wakeup, int timeoutMs);
/*
 * Waits for any of `count` sockets (at most NET_MAX_WAIT) to be readable,
 * or for `wakeup` (may be null), and consumes its signal. Returns how many
 * are readable, with readable[i] set for each, 0 on timeout,
 * NET_RECV_WOKEN when only the wake-up came, -1 on error.
 */
constexpr int NET_MAX_WAIT = 16;
int Net_WaitAnyReadable(const NetSocket *socks, int count, NetWakeup *wakeup, int timeoutMs,
                        bool *readable);
/*
 * Lets a signal of `wakeup` also end a receive that blocks on `sock`
 * (Net_RecvBatch): the signal then sends the socket a datagram of one
 * byte from a loopback socket of the wake-up's own, which the receive
 * recognises by its source and never hands on. False when that socket
 * cannot be had; Net_RecvBatch then waits with Net_WaitReadableOrWakeup.
 * A wake-up guards one socket at a time; Detach before the socket goes.
 * The loopback socket stays until the wake-up is destroyed, as a signal
 * may use it at any moment.
 */
bool Net_WakeupAttach(NetWakeup *wakeup, NetSocket sock);  // IPv4 sockets only
void Net_WakeupDetach(NetWakeup *wakeup);

// One datagram of a batch: the caller's buffer, the datagram's full
// length (more than `size` when it did not fit) and its source.
struct NetDatagram {
   void *buf;
   size_t size;
   size_t length;
   NetAddr from;
};
// The most datagrams one receive or send of a batch handles.
constexpr int NET_MAX_BATCH = 64;
/*
 * The platform's records for receiving into `batch` (the first `count`
 * entries, at most NET_MAX_BATCH), built once for its buffers rather
 * than at every receive: the buffers and sizes are taken as they are now.
 * Null when out of memory.
 */
struct NetRecvSet;
NetRecvSet *Net_RecvSetCreate(NetDatagram *batch, int count);
void Net_RecvSetDestroy(NetRecvSet *set);
/*
 * Receives the datagrams waiting on `sock` into the set's batch, in the
 * order they arrived, with as few system calls as the platform allows.
 * Each `from` is the source, of the socket's family (an IPv4 host on a
 * dual-stack socket has an IPv4-mapped IPv6 address).
 * Waits only when none is waiting: up to timeoutMs (with 0, not at all),
 * ended early by `wakeup` (may be null). Returns the number received, NET_RECV_TIMED_OUT,
 * NET_RECV_WOKEN, or -1 with the error in Net_LastError().
 */
int Net_RecvBatch(NetSocket sock, NetWakeup *wakeup, NetRecvSet *set, int timeoutMs);
// One reply of a batch: its bytes and destination.
struct NetOutgoing {
   const void *buf;
   size_t length;
   NetAddr to;
};
/*
 * Sends msgs in order, as few system calls as the platform allows.
 * Returns how many were sent from the first on (count when all were), or
 * -1 when the first failed, with the error in Net_LastError(); the caller
 * goes on after the one that failed.
 */
int Net_SendBatch(NetSocket sock, const NetOutgoing *msgs, int count);

/*
 * Receives one datagram into buf. Returns the number of bytes stored, or
 * negative on error. *datagramLength receives the datagram's full length,
 * which exceeds the return value when the datagram did not fit; `from`
 * may be null. With dontWait, a socket with nothing to receive fails at
 * once with an error for which Net_WouldBlock holds.
 */
long Net_RecvFrom(NetSocket sock, void *buf, size_t len, NetAddr *from,
                  size_t *datagramLength, bool dontWait);
long Net_SendTo(NetSocket sock, const void *buf, size_t len, const NetAddr *to);
// Send on a connected socket.
long Net_Send(NetSocket sock, const void *buf, size_t len);

int Net_LastError();
const char *Net_ErrorText(int err);
/*
 * Whether a receive error is one that a remote host can provoke (an
 * earlier reply refused by its port, an interrupted call) rather than a
 * fault of the socket itself.
 */
bool Net_IsTransientReceiveError(int err);
bool Net_WouldBlock(int err);
bool Net_Interrupted(int err);
// An earlier datagram was refused by its destination (ICMP port unreachable).
bool Net_Refused(int err);
// The send buffer is full: the datagram is as good as lost.
bool Net_SendBufferFull(int err);

// Dotted-quad text to an address; false when the text is not one.
bool Net_ParseIPv4(const char *text, uint32_t *ip);
// The dotted quad of ip into buf (at least 16 bytes).
void Net_FormatIPv4(uint32_t ip, char *buf, size_t size);
/*
 * Looks a host name (or dotted quad) up; false with a reason in *error
 * (a static text) when it has no IPv4 address.
 */
bool Net_Resolve(const char *host, uint32_t *ip, const char **error);

/*
 * The client side may reach its peer over IPv6 as well as IPv4: a peer of
 * either family, as name look-ups give it.
 */
struct NetPeer {
   bool v6;
   uint8_t addr[16];   // network order; IPv4 uses the first 4 bytes
   uint16_t port;
   uint32_t scope;     // IPv6 zone (interface index), else 0
};
// "[ffff:...:ffff%zone]:65535" and its NUL fit.
constexpr size_t NET_PEER_TEXT_SIZE = 72;

NetPeer Net_PeerFromIPv4(const NetAddr &addr);
// The local address a server binds: `ip` (IPv4 or IPv6) and `port`.
NetPeer Net_PeerFromIp(const NetIp &ip, uint16_t port);
/*
 * Looks up `host` (a name, a dotted quad or an IPv6 address without
 * brackets) for a peer on `port`; a name takes its first address, IPv4 or
 * IPv6. False with a reason in *error (a static text) when there is none.
 */
bool Net_ResolvePeer(const char *host, uint16_t port, NetPeer *out, const char **error);
// "127.0.0.1:6500" or "[::1]:6500" into buf (NET_PEER_TEXT_SIZE bytes).
void Net_FormatPeer(const NetPeer *peer, char *buf, size_t size);
// A UDP socket of the peer's family.
NetSocket Net_UdpSocketFor(const NetPeer *peer, bool nonBlocking = false);
// Binds to `local` (port 0: any) or connects to `peer`; sockets of Net_UdpSocketFor.
int Net_BindPeer(NetSocket sock, const NetPeer *local);
int Net_ConnectPeer(NetSocket sock, const NetPeer *peer);
/*
 * Net_SendBatch on a connected socket of either family: each message goes
 * to the connected peer, and its `to` is not read.
 */
int Net_SendConnectedBatch(NetSocket sock, const NetOutgoing *msgs, int count);
