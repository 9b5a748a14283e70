// Connected UDP socket of the client tools; see salvorSocket.h.
#include "tools/salvorSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <charconv>
#include <cstring>

bool
SalvorParseAddress(const std::string &text, in_addr *out)
{
   return inet_pton(AF_INET, text.c_str(), out) == 1;
}

bool
SalvorParseServer(const std::string &text, uint16_t defaultPort, sockaddr_in *out,
                  std::string *error)
{
   std::string host = text;
   unsigned port = defaultPort;
   if (size_t colon = text.rfind(':'); colon != std::string::npos) {
      host = text.substr(0, colon);
      const char *first = text.data() + colon + 1;
      const char *last = text.data() + text.size();
      auto [end, ec] = std::from_chars(first, last, port);
      if (ec != std::errc() || end != last || first == last || port == 0 || port > 65535) {
         *error = "bad port in '" + text + "'";
         return false;
      }
   }
   if (host.empty()) {
      *error = "missing host in '" + text + "'";
      return false;
   }

   std::memset(out, 0, sizeof *out);
   out->sin_family = AF_INET;
   out->sin_port = htons((uint16_t)port);
   if (SalvorParseAddress(host, &out->sin_addr)) {
      return true;
   }
   addrinfo hints{};
   hints.ai_family = AF_INET;
   hints.ai_socktype = SOCK_DGRAM;
   addrinfo *res = nullptr;
   int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
   if (rc != 0 || res == nullptr) {
      *error = "cannot resolve '" + host + "': " + gai_strerror(rc);
      return false;
   }
   out->sin_addr = reinterpret_cast<const sockaddr_in *>(res->ai_addr)->sin_addr;
   freeaddrinfo(res);
   return true;
}

std::string
SalvorFormatAddress(const sockaddr_in &addr)
{
   char buf[INET_ADDRSTRLEN] = "?";
   inet_ntop(AF_INET, &addr.sin_addr, buf, sizeof buf);
   return std::string(buf) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool
SalvorClientSocket::Open(const sockaddr_in &server, const std::optional<in_addr> &from,
                   std::string *error)
{
   Close();
   fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
   if (fd_ < 0) {
      *error = std::string("cannot create socket: ") + strerror(errno);
      return false;
   }
   if (from) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr = *from;
      if (bind(fd_, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
         char buf[INET_ADDRSTRLEN] = "?";
         inet_ntop(AF_INET, &*from, buf, sizeof buf);
         *error = std::string("cannot bind to ") + buf + ": " + strerror(errno);
         Close();
         return false;
      }
   }
   if (connect(fd_, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0) {
      *error = "cannot connect to " + SalvorFormatAddress(server) + ": " + strerror(errno);
      Close();
      return false;
   }
   return true;
}

void
SalvorClientSocket::Close()
{
   if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
   }
}

bool
SalvorClientSocket::Send(const void *buf, size_t len, std::string *error)
{
   for (;;) {
      ssize_t n = send(fd_, buf, len, 0);
      if (n == (ssize_t)len) {
         return true;
      }
      if (n >= 0) {
         *error = "short send";
         return false;
      }
      switch (errno) {
      case EINTR:
         continue;
      case ECONNREFUSED:      // reported for an earlier datagram
      case EAGAIN:            // send buffer full: treat as a lost datagram
      case ENOBUFS:
         return true;
      default:
         *error = std::string("send failed: ") + strerror(errno);
         return false;
      }
   }
}

SalvorClientSocket::RecvResult
SalvorClientSocket::TryRecv(void *buf, size_t cap, size_t *len, std::string *error)
{
   for (;;) {
      ssize_t n = recv(fd_, buf, cap, MSG_DONTWAIT);
      if (n >= 0) {
         *len = (size_t)n;
         return Received;
      }
      switch (errno) {
      case EINTR:
         continue;
      case EAGAIN:
         return TimedOut;
      case ECONNREFUSED:
         return Refused;
      default:
         *error = std::string("receive failed: ") + strerror(errno);
         return Error;
      }
   }
}

SalvorClientSocket::RecvResult
SalvorClientSocket::Wait(std::chrono::nanoseconds wait, std::string *error)
{
   using namespace std::chrono;
   // Round up so that a wait of a few microseconds does not spin; cap at a minute.
   wait = std::clamp<nanoseconds>(wait, nanoseconds(0), minutes(1));
   int ms = (int)duration_cast<milliseconds>(wait + microseconds(999)).count();
   pollfd pfd{fd_, POLLIN, 0};
   for (;;) {
      int rc = poll(&pfd, 1, ms < 0 ? 0 : ms);
      if (rc > 0) {
         return Received;
      }
      if (rc == 0) {
         return TimedOut;
      }
      if (errno != EINTR) {
         *error = std::string("poll failed: ") + strerror(errno);
         return Error;
      }
   }
}

int
SalvorBindLoopbackUdp(sockaddr_in *addr, std::string *error)
{
   int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
   *addr = sockaddr_in{};
   addr->sin_family = AF_INET;
   addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t len = sizeof *addr;
   if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(addr), sizeof *addr) != 0 ||
       getsockname(fd, reinterpret_cast<sockaddr *>(addr), &len) != 0) {
      *error = strerror(errno);
      if (fd >= 0) {
         close(fd);
      }
      return -1;
   }
   return fd;
}

void
SalvorIgnoreBrokenPipe()
{
   std::signal(SIGPIPE, SIG_IGN);
}
