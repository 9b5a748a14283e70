// Win32 back end of the socket layer (net.h): Windows Sockets 2.
//
// Errors are the errno-style codes of the POSIX back end, made from the
// Winsock ones by one table and kept per thread for Net_LastError, so
// that the code above tests them alike on both platforms (the Winsock
// code also stays the thread's last error). Sockets are handles, whose
// significant bits fit the int of NetSocket. Windows reports neither a
// cut datagram's full length nor receives without waiting on a blocking
// socket: receives go through a buffer that holds any datagram, after a
// select that finds one waiting. The wake-up is a loopback socket that a
// signal sends one byte to; every wait watches it, so attaching one to a
// socket needs nothing more. The calls that are alike on both platforms
// are in netSockets.cpp.
#include "lib/net/netSockets.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "lib/misc/platFaultWin32.h"

// The vendor controls that make a UDP socket report ICMP messages about
// its earlier datagrams; the second is missing from some headers.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif
#ifndef SIO_UDP_NETRESET
#define SIO_UDP_NETRESET _WSAIOW(IOC_VENDOR, 15)
#endif

namespace {

thread_local int netError = 0;

constexpr size_t NET_MAX_DATAGRAM = 65536;

int
NetErrnoOf(int wsa)
{
   switch (wsa) {
   case WSAEWOULDBLOCK: return EWOULDBLOCK;
   case WSAEINTR: return EINTR;
   case WSAECONNRESET: return ECONNREFUSED;  // a UDP peer's port was closed
   case WSAENETRESET: return ENETRESET;      // an earlier reply's time ran out
   case WSAECONNREFUSED: return ECONNREFUSED;
   case WSAEHOSTUNREACH: return EHOSTUNREACH;
   case WSAENETUNREACH: return ENETUNREACH;
   case WSAENOBUFS: return ENOBUFS;
   case WSAEMFILE: return EMFILE;
   case WSAEADDRINUSE: return EADDRINUSE;
   case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
   case WSAEMSGSIZE: return EMSGSIZE;
   case WSAEACCES: return EACCES;
   case WSAEINVAL: return EINVAL;
   case WSAENOTSOCK: return EBADF;
   case WSAEBADF: return EBADF;
   case WSAETIMEDOUT: return ETIMEDOUT;
   case WSAENETDOWN: return ENETDOWN;
   default: return EIO;
   }
}

/*
 * Keeps `wsa` as the thread's error for Net_LastError, and as its last
 * error too: reaching a thread-local variable may itself clear the last
 * error (the run-time's emulated thread storage asks TlsGetValue).
 */
void
NetKeepError(int wsa)
{
   netError = NetErrnoOf(wsa);
   WSASetLastError(wsa);
}

// Records the failure of the Winsock call just made; returns `value`.
template <typename T>
T
NetFailed(T value)
{
   NetKeepError(WSAGetLastError());
   return value;
}

/*
 * Waits up to timeoutMs (negative: no limit) for a or b (may be
 * INVALID_SOCKET) to become readable: 1 with the flags set, 0 on
 * timeout, -1 on error.
 */
int
NetSelect(SOCKET a, SOCKET b, int timeoutMs, bool *aReady, bool *bReady)
{
   fd_set readable;
   FD_ZERO(&readable);
   FD_SET(a, &readable);
   if (b != INVALID_SOCKET) {
      FD_SET(b, &readable);
   }
   timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
   int n = select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &tv);
   if (n == SOCKET_ERROR) {
      return NetFailed(-1);
   }
   *aReady = FD_ISSET(a, &readable) != 0;
   *bReady = b != INVALID_SOCKET && FD_ISSET(b, &readable) != 0;
   return n > 0 ? 1 : 0;
}

bool
NetWaiting(SOCKET sock)
{
   bool ready = false, unused = false;
   return NetSelect(sock, INVALID_SOCKET, 0, &ready, &unused) > 0 && ready;
}

/*
 * One datagram into buf, through a buffer that holds any datagram when
 * buf may be too small, so that the full length is known. Returns the
 * bytes stored or -1.
 */
long
NetReceiveOne(SOCKET sock, void *buf, size_t len, sockaddr_in6 *addr, size_t *full)
{
   static thread_local char *scratch = nullptr;
   bool direct = len >= NET_MAX_DATAGRAM;
   if (!direct && scratch == nullptr) {
      scratch = new (std::nothrow) char[NET_MAX_DATAGRAM];
      if (scratch == nullptr) {
         netError = ENOMEM;
         return -1;
      }
   }
   int addrLen = sizeof *addr;
   int n = recvfrom(sock, direct ? (char *)buf : scratch,
                    direct ? (int)(len > 0x7fffffff ? 0x7fffffff : len) : (int)NET_MAX_DATAGRAM, 0,
                    reinterpret_cast<sockaddr *>(addr), &addrLen);
   if (n == SOCKET_ERROR) {
      return NetFailed(-1L);
   }
   *full = (size_t)n;
   size_t stored = (size_t)n < len ? (size_t)n : len;
   if (!direct) {
      std::memcpy(buf, scratch, stored);
   }
   return (long)stored;
}

}  // namespace

bool
NetPlat_Allowed(PlatCall call, size_t *len)
{
   int err = PlatFault_Check(call, len);
   if (err == 0) {
      return true;
   }
   // A fault armed as a Winsock code goes through the table, as the real
   // call's error would; one armed as an errno is taken as it is.
   int wsa = (int)PlatFaultWin32Error(err);
   int mapped = (err & PLAT_FAULT_WIN32_CODE) != 0 ? NetErrnoOf(wsa) : err;
   netError = mapped;
   errno = mapped;
   WSASetLastError(wsa);  // last: reaching netError may have cleared it
   return false;
}

SOCKET
NetPlat_Handle(NetSocket sock)
{
   return sock < 0 ? INVALID_SOCKET : (SOCKET)(uintptr_t)(unsigned)sock;
}

int
NetPlat_Result(int rc)
{
   return rc == 0 ? 0 : NetFailed(-1);
}

int
Net_Startup(uint16_t version, uint16_t *granted)
{
   WSADATA data;
   int err = WSAStartup(version, &data);
   *granted = err == 0 ? data.wVersion : 0;
   return err;
}

void
Net_Cleanup()
{
   WSACleanup();
}

int
Net_IgnorePeerResets(NetSocket sock)
{
   // The second switch is younger than the first: a system without it
   // (or Wine) refuses it as unknown, which leaves nothing to switch off.
   static const DWORD controls[] = {SIO_UDP_CONNRESET, SIO_UDP_NETRESET};
   int rc = 0;
   for (DWORD control : controls) {
      BOOL report = FALSE;
      DWORD unused = 0;
      if (WSAIoctl(NetPlat_Handle(sock), control, &report, sizeof report, nullptr, 0, &unused,
                   nullptr, nullptr) == SOCKET_ERROR) {
         int wsa = WSAGetLastError();
         bool unknown = control == SIO_UDP_NETRESET && (wsa == WSAEOPNOTSUPP || wsa == WSAEINVAL);
         rc = unknown ? rc : NetFailed(-1);
      }
   }
   return rc;
}

void
Net_Close(NetSocket sock)
{
   if (sock >= 0) {
      closesocket(NetPlat_Handle(sock));
   }
}

int
Net_SetReceiveBuffer(NetSocket sock, int bytes, bool force, int *granted)
{
   (void)force;  // Windows has no limit that privilege passes
   int rc = setsockopt(NetPlat_Handle(sock), SOL_SOCKET, SO_RCVBUF, (const char *)&bytes,
                       sizeof bytes) == 0 ? 0 : NetFailed(-1);
   int len = sizeof *granted;
   *granted = 0;
   getsockopt(NetPlat_Handle(sock), SOL_SOCKET, SO_RCVBUF, (char *)granted, &len);
   return rc;
}

int
Net_WaitReadable(NetSocket sock, int timeoutMs)
{
   if (!NetPlat_Allowed(PLAT_SELECT)) {
      return -1;
   }
   bool ready = false, unused = false;
   return NetSelect(NetPlat_Handle(sock), INVALID_SOCKET, timeoutMs, &ready, &unused);
}

struct NetWakeup {
   SOCKET in;   // bound to loopback; a signal is a datagram waiting here
   SOCKET out;  // connected to `in`
};

NetWakeup *
Net_WakeupCreate()
{
   NetWakeup *wakeup = new (std::nothrow) NetWakeup{INVALID_SOCKET, INVALID_SOCKET};
   if (wakeup == nullptr) {
      return nullptr;
   }
   // Not inherited: a hook's process must not keep the loop's sockets.
   wakeup->in = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                           WSA_FLAG_NO_HANDLE_INHERIT);
   wakeup->out = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                            WSA_FLAG_NO_HANDLE_INHERIT);
   sockaddr_in addr = NetToSockaddr(NET_LOOPBACK, 0);
   int len = sizeof addr;
   u_long on = 1;
   bool ok = wakeup->in != INVALID_SOCKET && wakeup->out != INVALID_SOCKET &&
             bind(wakeup->in, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
             getsockname(wakeup->in, reinterpret_cast<sockaddr *>(&addr), &len) == 0 &&
             connect(wakeup->out, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
             ioctlsocket(wakeup->in, FIONBIO, &on) == 0 &&
             ioctlsocket(wakeup->out, FIONBIO, &on) == 0;
   if (!ok) {
      NetKeepError(WSAGetLastError());
      Net_WakeupDestroy(wakeup);
      return nullptr;
   }
   return wakeup;
}

void
Net_WakeupDestroy(NetWakeup *wakeup)
{
   if (wakeup != nullptr) {
      if (wakeup->in != INVALID_SOCKET) {
         closesocket(wakeup->in);
      }
      if (wakeup->out != INVALID_SOCKET) {
         closesocket(wakeup->out);
      }
      delete wakeup;
   }
}

void
Net_WakeupSignal(NetWakeup *wakeup)
{
   send(wakeup->out, "w", 1, 0);
}

bool
Net_WakeupAttach(NetWakeup *wakeup, NetSocket sock)
{
   (void)wakeup;
   (void)sock;
   return true;  // every wait already watches the wake-up
}

void
Net_WakeupDetach(NetWakeup *wakeup)
{
   (void)wakeup;
}

int
Net_WaitReadableOrWakeup(NetSocket sock, NetWakeup *wakeup, int timeoutMs)
{
   if (wakeup == nullptr) {
      return Net_WaitReadable(sock, timeoutMs);
   }
   if (!NetPlat_Allowed(PLAT_SELECT)) {
      return -1;
   }
   bool ready = false, woken = false;
   int n = NetSelect(NetPlat_Handle(sock), wakeup->in, timeoutMs, &ready, &woken);
   if (n <= 0) {
      return n;
   }
   if (woken) {
      char drain[16];
      while (recv(wakeup->in, drain, sizeof drain, 0) > 0) {
         // every signal so far is consumed
      }
   }
   return ready ? 1 : 2;
}

int
Net_WaitAnyReadable(const NetSocket *socks, int count, NetWakeup *wakeup, int timeoutMs,
                    bool *readable)
{
   if (!NetPlat_Allowed(PLAT_SELECT)) {
      return -1;
   }
   count = count < NET_MAX_WAIT ? count : NET_MAX_WAIT;
   fd_set set;
   FD_ZERO(&set);
   for (int i = 0; i < count; i++) {
      FD_SET(NetPlat_Handle(socks[i]), &set);
   }
   if (wakeup != nullptr) {
      FD_SET(wakeup->in, &set);
   }
   timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
   int got = select(0, &set, nullptr, nullptr, timeoutMs < 0 ? nullptr : &tv);
   if (got == SOCKET_ERROR) {
      return NetFailed(-1);
   }
   if (got == 0) {
      return 0;
   }
   int ready = 0;
   for (int i = 0; i < count; i++) {
      readable[i] = FD_ISSET(NetPlat_Handle(socks[i]), &set) != 0;
      ready += readable[i] ? 1 : 0;
   }
   if (wakeup != nullptr && FD_ISSET(wakeup->in, &set)) {
      char drain[16];
      while (recv(wakeup->in, drain, sizeof drain, 0) > 0) {
         // every signal so far is consumed
      }
   }
   return ready > 0 ? ready : NET_RECV_WOKEN;
}

struct NetRecvSet {
   NetDatagram *batch;
   int count;
};

NetRecvSet *
Net_RecvSetCreate(NetDatagram *batch, int count)
{
   NetRecvSet *set = new (std::nothrow) NetRecvSet;
   if (set != nullptr) {
      set->batch = batch;
      set->count = count < NET_MAX_BATCH ? count : NET_MAX_BATCH;
   }
   return set;
}

void
Net_RecvSetDestroy(NetRecvSet *set)
{
   delete set;
}

namespace {

// The datagrams waiting now, without waiting: their number, or -1 when
// the first receive failed.
int
NetRecvWaiting(SOCKET sock, NetRecvSet *set)
{
   if (!NetPlat_Allowed(PLAT_RECVFROM)) {
      return -1;
   }
   int n = 0;
   while (n < set->count && NetWaiting(sock)) {
      NetDatagram &d = set->batch[n];
      sockaddr_in6 addr{};  // either family
      if (NetReceiveOne(sock, d.buf, d.size, &addr, &d.length) < 0) {
         return n > 0 ? n : -1;
      }
      NetFromAnySockaddr(addr, &d.from);
      n++;
   }
   return n;
}

}  // namespace

int
Net_RecvBatch(NetSocket sock, NetWakeup *wakeup, NetRecvSet *set, int timeoutMs)
{
   int n = NetRecvWaiting(NetPlat_Handle(sock), set);
   if (n != 0) {
      return n;
   }
   if (timeoutMs == 0) {
      return NET_RECV_TIMED_OUT;
   }
   int ready = Net_WaitReadableOrWakeup(sock, wakeup, timeoutMs);
   if (ready <= 0) {
      return ready;
   }
   if (ready == 2) {
      return NET_RECV_WOKEN;
   }
   n = NetRecvWaiting(NetPlat_Handle(sock), set);
   return n == 0 ? NET_RECV_TIMED_OUT : n;
}

int
Net_SendBatch(NetSocket sock, const NetOutgoing *msgs, int count)
{
   count = NetBatchAllowed(msgs, count);
   if (count < 0) {
      return -1;
   }
   for (int i = 0; i < count; i++) {
      if (Net_SendTo(sock, msgs[i].buf, msgs[i].length, &msgs[i].to) < 0) {
         return i > 0 ? i : -1;
      }
   }
   return count;
}

long
Net_RecvFrom(NetSocket sock, void *buf, size_t len, NetAddr *from, size_t *datagramLength,
             bool dontWait)
{
   if (!NetPlat_Allowed(PLAT_RECVFROM)) {
      return -1;
   }
   if (dontWait && !NetWaiting(NetPlat_Handle(sock))) {
      NetKeepError(WSAEWOULDBLOCK);
      return -1;
   }
   sockaddr_in6 addr{};  // either family
   long n = NetReceiveOne(NetPlat_Handle(sock), buf, len, &addr, datagramLength);
   if (n >= 0 && from != nullptr) {
      NetFromAnySockaddr(addr, from);
   }
   return n;
}

long
Net_SendTo(NetSocket sock, const void *buf, size_t len, const NetAddr *to)
{
   if (!NetPlat_Allowed(PLAT_SENDTO, &len)) {
      return -1;
   }
   sockaddr_in6 addr;
   int addrLen = NetToAnySockaddr(*to, &addr);
   int n = sendto(NetPlat_Handle(sock), (const char *)buf, (int)len, 0,
                  reinterpret_cast<sockaddr *>(&addr), addrLen);
   return n == SOCKET_ERROR ? NetFailed(-1L) : (long)n;
}

long
Net_Send(NetSocket sock, const void *buf, size_t len)
{
   if (!NetPlat_Allowed(PLAT_SENDTO, &len)) {
      return -1;
   }
   int n = send(NetPlat_Handle(sock), (const char *)buf, (int)len, 0);
   return n == SOCKET_ERROR ? NetFailed(-1L) : (long)n;
}

int
Net_LastError()
{
   return netError;
}

const char *
Net_ErrorText(int err)
{
   // The C library knows the classic errno texts only.
   switch (err) {
   case EWOULDBLOCK: return "Operation would block";
   case ECONNREFUSED: return "Connection refused";
   case EHOSTUNREACH: return "No route to host";
   case ENETUNREACH: return "Network is unreachable";
   case ENOBUFS: return "No buffer space available";
   case EADDRINUSE: return "Address already in use";
   case EADDRNOTAVAIL: return "Cannot assign requested address";
   case EMSGSIZE: return "Message too long";
   case ETIMEDOUT: return "Connection timed out";
   case ENETDOWN: return "Network is down";
   case ENETRESET: return "Network dropped connection on reset";
   default: return strerror(err);
   }
}

NetSocket
Net_UdpSocketFor(const NetPeer *peer, bool nonBlocking)
{
   if (!NetPlat_Allowed(PLAT_SOCKET)) {
      return NET_INVALID_SOCKET;
   }
   SOCKET sock = WSASocketW(peer->v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                            WSA_FLAG_NO_HANDLE_INHERIT);
   if (sock == INVALID_SOCKET) {
      return NetFailed(NET_INVALID_SOCKET);
   }
   u_long on = 1;
   if (nonBlocking && ioctlsocket(sock, FIONBIO, &on) != 0) {
      int wsa = WSAGetLastError();
      closesocket(sock);
      NetKeepError(wsa);
      return NET_INVALID_SOCKET;
   }
   return (NetSocket)sock;
}

int
Net_SendConnectedBatch(NetSocket sock, const NetOutgoing *msgs, int count)
{
   count = NetBatchAllowed(msgs, count);
   if (count < 0) {
      return -1;
   }
   for (int i = 0; i < count; i++) {
      int n = send(NetPlat_Handle(sock), (const char *)msgs[i].buf, (int)msgs[i].length, 0);
      if (n == SOCKET_ERROR) {
         NetKeepError(WSAGetLastError());
         return i > 0 ? i : -1;
      }
   }
   return count;
}
