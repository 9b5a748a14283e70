// BSD-socket back end of the collector's UDP endpoint; see salvorNet.h.
#include "collector/platform/salvorNet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "lib/misc/platFaultPosix.h"

namespace {

// Sockets made since start-up: the clean-up disposes of them, as the
// socket library's own clean-up does on other platforms.
std::mutex socketsLock;
std::vector<int> openSockets;

}  // namespace

int
SalvorNet_Startup(uint16_t version, uint16_t *granted)
{
   *granted = version;  // nothing to start: the kernel's sockets are always there
   return 0;
}

void
SalvorNet_Cleanup()
{
   std::lock_guard<std::mutex> guard(socketsLock);
   for (int fd : openSockets) {
      close(fd);
   }
   openSockets.clear();
}

SalvorSocket
SalvorNet_UdpSocket()
{
   if (!PlatFault_Allowed(PLAT_SOCKET)) {
      return -1;
   }
   int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
   if (fd >= 0) {
      std::lock_guard<std::mutex> guard(socketsLock);
      openSockets.push_back(fd);
   }
   return fd;
}

int
SalvorNet_Bind(SalvorSocket sock, uint32_t ip, uint16_t port)
{
   if (!PlatFault_Allowed(PLAT_BIND)) {
      return -1;
   }
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(ip);
   addr.sin_port = htons(port);
   return bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
}

int
SalvorNet_WaitReadable(SalvorSocket sock, int timeoutSec)
{
   if (!PlatFault_Allowed(PLAT_SELECT)) {
      return -1;
   }
   // poll rather than select: a descriptor number above the select set's
   // size would overrun it.
   pollfd pfd{sock, POLLIN, 0};
   return poll(&pfd, 1, timeoutSec * 1000);
}

long
SalvorNet_RecvFrom(SalvorSocket sock, void *buf, size_t len, SalvorNetAddr *from,
                   size_t *datagramLength, bool dontWait)
{
   if (!PlatFault_Allowed(PLAT_RECVFROM)) {
      return -1;
   }
   sockaddr_in addr{};
   socklen_t addrLen = sizeof addr;
   // MSG_TRUNC makes the kernel report the datagram's real length.
   ssize_t n = recvfrom(sock, buf, len, MSG_TRUNC | (dontWait ? MSG_DONTWAIT : 0),
                        reinterpret_cast<sockaddr *>(&addr), &addrLen);
   if (n < 0) {
      return -1;
   }
   from->ip = ntohl(addr.sin_addr.s_addr);
   from->port = ntohs(addr.sin_port);
   *datagramLength = (size_t)n;
   return (size_t)n > len ? (long)len : (long)n;
}

long
SalvorNet_SendTo(SalvorSocket sock, const void *buf, size_t len, const SalvorNetAddr *to)
{
   if (!PlatFault_Allowed(PLAT_SENDTO, &len)) {
      return -1;
   }
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(to->ip);
   addr.sin_port = htons(to->port);
   return sendto(sock, buf, len, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
}

int
SalvorNet_LastError()
{
   return errno;
}

const char *
SalvorNet_ErrorText(int err)
{
   return strerror(err);
}

bool
SalvorNet_IsTransientReceiveError(int err)
{
   switch (err) {
   case ECONNREFUSED:   // an earlier reply's port was closed
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
SalvorNet_WouldBlock(int err)
{
   return err == EAGAIN || err == EWOULDBLOCK;
}
