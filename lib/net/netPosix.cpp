// POSIX back end of the socket layer (net.h): what Linux does its own
// way (errno, poll, an eventfd wake-up, recvmmsg and sendmmsg). The calls
// that are alike on both platforms are in netSockets.cpp.
#include "lib/misc/utilScoped.h"
#include "lib/net/netSockets.h"

#include <cerrno>
#include <cstring>
#include <atomic>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>

#include "lib/misc/platFaultPosix.h"

bool
NetPlat_Allowed(PlatCall call, size_t *len)
{
   return PlatFault_Allowed(call, len);
}

NetSysSocket
NetPlat_Handle(NetSocket sock)
{
   return sock;
}

int
NetPlat_Result(int rc)
{
   return rc;  // errno already holds the error
}

int
Net_Startup(uint16_t version, uint16_t *granted)
{
   *granted = version;  // nothing to start: the kernel's sockets are always there
   return 0;
}

void
Net_Cleanup()
{
   // Nothing to stop. Sockets are closed by their owners: closing every
   // socket of the process here would also close those of other parts of
   // it (a client, a test's peers).
}

int
Net_IgnorePeerResets(NetSocket sock)
{
   (void)sock;  // an ICMP report reaches only the receive that follows it, as ECONNREFUSED
   return 0;
}

void
Net_Close(NetSocket sock)
{
   if (sock >= 0) {
      close(sock);
   }
}

int
Net_SetReceiveBuffer(NetSocket sock, int bytes, bool force, int *granted)
{
   int rc = -1;
   if (force) {
      rc = setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
   }
   if (rc != 0) {
      rc = setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
   }
   socklen_t len = sizeof *granted;
   *granted = 0;
   getsockopt(sock, SOL_SOCKET, SO_RCVBUF, granted, &len);
   // The kernel doubles the request for its bookkeeping and reports the
   // doubled size; what it can hold of datagrams is the half.
   *granted /= 2;
   return rc;
}

int
Net_WaitReadable(NetSocket sock, int timeoutMs)
{
   if (!PlatFault_Allowed(PLAT_SELECT)) {
      return -1;
   }
   // poll rather than select: a descriptor number above the select set's
   // size would overrun it.
   pollfd pfd{sock, POLLIN, 0};
   return poll(&pfd, 1, timeoutMs);
}

struct NetWakeup {
   int fd;  // an eventfd
   // Net_WakeupAttach: a loopback socket connected to the guarded socket,
   // its own address, and the receive timeout set on the guarded socket.
   std::atomic<int> pokeFd{-1};
   NetAddr pokeAddr{};
   int guarded = -1;
   int timeoutMs = -1;
};

NetWakeup *
Net_WakeupCreate()
{
   int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
   if (fd < 0) {
      return nullptr;
   }
   NetWakeup *wakeup = new NetWakeup;
   wakeup->fd = fd;
   return wakeup;
}

void
Net_WakeupDestroy(NetWakeup *wakeup)
{
   if (wakeup != nullptr) {
      int poke = wakeup->pokeFd.exchange(-1);
      if (poke >= 0) {
         close(poke);
      }
      close(wakeup->fd);
      delete wakeup;
   }
}

void
Net_WakeupSignal(NetWakeup *wakeup)
{
   uint64_t one = 1;
   // Only async-signal-safe calls: a signal handler may signal too.
   ssize_t ignored = write(wakeup->fd, &one, sizeof one);
   (void)ignored;
   int poke = wakeup->pokeFd.load(std::memory_order_acquire);
   if (poke >= 0) {
      ignored = send(poke, "w", 1, MSG_DONTWAIT);
   }
}

bool
Net_WakeupAttach(NetWakeup *wakeup, NetSocket sock)
{
   Net_WakeupDetach(wakeup);
   sockaddr_in target{};
   socklen_t len = sizeof target;
   if (getsockname(sock, reinterpret_cast<sockaddr *>(&target), &len) != 0 ||
       target.sin_family != AF_INET) {
      return false;  // the poking socket speaks IPv4
   }
   // A socket bound to every address is reached on the loopback address.
   uint32_t targetIp = ntohl(target.sin_addr.s_addr);
   uint32_t ip = targetIp == NET_ANY ? NET_LOOPBACK : targetIp;
   // The poking socket lives as long as the wake-up: a signal from another
   // thread may use it at any moment, so it is never closed under one.
   int poke = wakeup->pokeFd.load(std::memory_order_acquire);
   if (poke < 0 || wakeup->pokeAddr.ip != ip) {
      UtilFd made(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP));
      sockaddr_in local = NetToSockaddr(ip, 0);
      len = sizeof local;
      if (!made || bind(made.Get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
          getsockname(made.Get(), reinterpret_cast<sockaddr *>(&local), &len) != 0) {
         return false;
      }
      if (poke >= 0) {
         return false;  // one loopback address per wake-up: keep the one there is
      }
      NetFromSockaddr(local, &wakeup->pokeAddr);
      poke = made.Take();
   }
   sockaddr_in to = NetToSockaddr(ip, ntohs(target.sin_port));
   if (connect(poke, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
      wakeup->pokeFd.store(poke, std::memory_order_release);
      return false;
   }
   wakeup->guarded = sock;
   wakeup->timeoutMs = -1;
   wakeup->pokeFd.store(poke, std::memory_order_release);
   return true;
}

void
Net_WakeupDetach(NetWakeup *wakeup)
{
   // The poking socket stays (see Attach); only the receive stops relying on it.
   wakeup->guarded = -1;
}

int
Net_WaitReadableOrWakeup(NetSocket sock, NetWakeup *wakeup, int timeoutMs)
{
   if (wakeup == nullptr) {
      return Net_WaitReadable(sock, timeoutMs);
   }
   if (!PlatFault_Allowed(PLAT_SELECT)) {
      return -1;
   }
   pollfd pfd[2] = {{sock, POLLIN, 0}, {wakeup->fd, POLLIN, 0}};
   int n = poll(pfd, 2, timeoutMs);
   if (n <= 0) {
      return n;
   }
   if ((pfd[1].revents & POLLIN) != 0) {
      uint64_t count;
      ssize_t ignored = read(wakeup->fd, &count, sizeof count);  // consumes the signal
      (void)ignored;
   }
   return (pfd[0].revents & POLLIN) != 0 ? 1 : 2;
}

int
Net_WaitAnyReadable(const NetSocket *socks, int count, NetWakeup *wakeup, int timeoutMs,
                    bool *readable)
{
   if (!PlatFault_Allowed(PLAT_SELECT)) {
      return -1;
   }
   pollfd pfd[NET_MAX_WAIT + 1];
   count = count < NET_MAX_WAIT ? count : NET_MAX_WAIT;
   for (int i = 0; i < count; i++) {
      pfd[i] = {socks[i], POLLIN, 0};
   }
   int n = count;
   if (wakeup != nullptr) {
      pfd[n++] = {wakeup->fd, POLLIN, 0};
   }
   int got = poll(pfd, (nfds_t)n, timeoutMs);
   if (got <= 0) {
      return got;
   }
   int ready = 0;
   for (int i = 0; i < count; i++) {
      readable[i] = (pfd[i].revents & (POLLIN | POLLERR)) != 0;
      ready += readable[i] ? 1 : 0;
   }
   if (wakeup != nullptr && (pfd[count].revents & POLLIN) != 0) {
      uint64_t signals;
      ssize_t ignored = read(wakeup->fd, &signals, sizeof signals);  // consumes the signal
      (void)ignored;
   }
   return ready > 0 ? ready : NET_RECV_WOKEN;
}

struct NetRecvSet {
   NetDatagram *batch;
   int count;
   mmsghdr msgs[NET_MAX_BATCH];
   iovec iov[NET_MAX_BATCH];
   sockaddr_in6 addrs[NET_MAX_BATCH];  // either family
};

NetRecvSet *
Net_RecvSetCreate(NetDatagram *batch, int count)
{
   NetRecvSet *set = new (std::nothrow) NetRecvSet;
   if (set == nullptr) {
      return nullptr;
   }
   set->batch = batch;
   set->count = count < NET_MAX_BATCH ? count : NET_MAX_BATCH;
   for (int i = 0; i < set->count; i++) {
      set->iov[i] = {batch[i].buf, batch[i].size};
      set->msgs[i].msg_hdr = {};
      set->msgs[i].msg_hdr.msg_name = &set->addrs[i];
      set->msgs[i].msg_hdr.msg_namelen = sizeof set->addrs[i];
      set->msgs[i].msg_hdr.msg_iov = &set->iov[i];
      set->msgs[i].msg_hdr.msg_iovlen = 1;
      set->msgs[i].msg_len = 0;
   }
   return set;
}

void
Net_RecvSetDestroy(NetRecvSet *set)
{
   delete set;
}

namespace {

// One recvmmsg into the set; flags add MSG_DONTWAIT or MSG_WAITFORONE.
int
NetRecvMany(NetSocket sock, NetRecvSet *set, int flags)
{
   if (!PlatFault_Allowed(PLAT_RECVFROM)) {
      return -1;
   }
   // MSG_TRUNC: each length is the datagram's own, also when it was cut.
   int n = recvmmsg(sock, set->msgs, (unsigned)set->count, MSG_TRUNC | flags, nullptr);
   NetDatagram *batch = set->batch;
   for (int i = 0; i < n; i++) {
      batch[i].length = set->msgs[i].msg_len;
      NetFromAnySockaddr(set->addrs[i], &batch[i].from);
      // The receive wrote these back; the next one needs them whole again.
      set->msgs[i].msg_hdr.msg_namelen = sizeof set->addrs[i];
      set->msgs[i].msg_hdr.msg_flags = 0;
   }
   return n;
}

}  // namespace

int
Net_RecvBatch(NetSocket sock, NetWakeup *wakeup, NetRecvSet *set, int timeoutMs)
{
   NetDatagram *batch = set->batch;
   bool blocking = wakeup != nullptr && wakeup->guarded == sock;
   if (!blocking) {
      int n = NetRecvMany(sock, set, MSG_DONTWAIT);
      if (n >= 0 || !Net_WouldBlock(errno)) {
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
      n = NetRecvMany(sock, set, MSG_DONTWAIT);
      return n < 0 && Net_WouldBlock(errno) ? NET_RECV_TIMED_OUT : n;
   }
   // The receive itself is the wait: one system call when the socket is
   // empty as when it is not. Its timeout is a socket option, set once.
   if (wakeup->timeoutMs != timeoutMs) {
      timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
      if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
         return -1;
      }
      wakeup->timeoutMs = timeoutMs;
   }
   int n = NetRecvMany(sock, set, MSG_WAITFORONE);
   if (n < 0) {
      if (Net_WouldBlock(errno)) {
         return NET_RECV_TIMED_OUT;
      }
      return errno == EINTR ? NET_RECV_WOKEN : -1;
   }
   // Take the wake-up's own datagrams out.
   int kept = 0;
   for (int i = 0; i < n; i++) {
      const NetAddr &from = batch[i].from;
      if (!from.v6 && from.ip == wakeup->pokeAddr.ip && from.port == wakeup->pokeAddr.port) {
         continue;
      }
      if (kept != i) {
         // The caller's buffers stay where they are: move the contents.
         std::memcpy(batch[kept].buf, batch[i].buf,
                     batch[i].length < batch[i].size ? batch[i].length : batch[i].size);
         batch[kept].length = batch[i].length;
         batch[kept].from = batch[i].from;
      }
      kept++;
   }
   return kept > 0 ? kept : NET_RECV_WOKEN;
}

namespace {

// One sendmmsg of msgs, each to its `to`, or with `connected` to the
// socket's peer.
int
NetSendMany(NetSocket sock, const NetOutgoing *msgs, int count, bool connected)
{
   count = NetBatchAllowed(msgs, count);
   if (count < 0) {
      return -1;
   }
   mmsghdr out[NET_MAX_BATCH];
   iovec iov[NET_MAX_BATCH];
   sockaddr_in6 addrs[NET_MAX_BATCH];  // either family
   for (int i = 0; i < count; i++) {
      iov[i] = {const_cast<void *>(msgs[i].buf), msgs[i].length};
      out[i].msg_hdr = {};
      if (!connected) {
         out[i].msg_hdr.msg_name = &addrs[i];
         out[i].msg_hdr.msg_namelen = NetToAnySockaddr(msgs[i].to, &addrs[i]);
      }
      out[i].msg_hdr.msg_iov = &iov[i];
      out[i].msg_hdr.msg_iovlen = 1;
      out[i].msg_len = 0;
   }
   return Util_RetryOnEintr([&] { return sendmmsg(sock, out, (unsigned)count, 0); });
}

}  // namespace

int
Net_SendBatch(NetSocket sock, const NetOutgoing *msgs, int count)
{
   return NetSendMany(sock, msgs, count, false);
}

int
Net_SendConnectedBatch(NetSocket sock, const NetOutgoing *msgs, int count)
{
   return NetSendMany(sock, msgs, count, true);
}

long
Net_RecvFrom(NetSocket sock, void *buf, size_t len, NetAddr *from, size_t *datagramLength,
             bool dontWait)
{
   if (!PlatFault_Allowed(PLAT_RECVFROM)) {
      return -1;
   }
   sockaddr_in6 addr{};  // either family
   socklen_t addrLen = sizeof addr;
   // MSG_TRUNC makes the kernel report the datagram's real length.
   ssize_t n = recvfrom(sock, buf, len, MSG_TRUNC | (dontWait ? MSG_DONTWAIT : 0),
                        reinterpret_cast<sockaddr *>(&addr), &addrLen);
   if (n < 0) {
      return -1;
   }
   if (from != nullptr) {
      NetFromAnySockaddr(addr, from);
   }
   *datagramLength = (size_t)n;
   return (size_t)n > len ? (long)len : (long)n;
}

long
Net_SendTo(NetSocket sock, const void *buf, size_t len, const NetAddr *to)
{
   if (!PlatFault_Allowed(PLAT_SENDTO, &len)) {
      return -1;
   }
   sockaddr_in6 addr;
   socklen_t addrLen = NetToAnySockaddr(*to, &addr);
   return sendto(sock, buf, len, 0, reinterpret_cast<sockaddr *>(&addr), addrLen);
}

long
Net_Send(NetSocket sock, const void *buf, size_t len)
{
   if (!PlatFault_Allowed(PLAT_SENDTO, &len)) {
      return -1;
   }
   return send(sock, buf, len, 0);
}

int
Net_LastError()
{
   return errno;
}

const char *
Net_ErrorText(int err)
{
   return strerror(err);
}

NetSocket
Net_UdpSocketFor(const NetPeer *peer, bool nonBlocking)
{
   if (!PlatFault_Allowed(PLAT_SOCKET)) {
      return NET_INVALID_SOCKET;
   }
   return socket(peer->v6 ? AF_INET6 : AF_INET,
                 SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), IPPROTO_UDP);
}
