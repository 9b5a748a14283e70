// Connected UDP socket of the client tools; see salvorSocket.h.
#include "tools/salvorSocket.h"

#include <algorithm>
#include <charconv>
#include <csignal>

namespace {

std::string
ErrorText(const char *what)
{
   return std::string(what) + ": " + Net_ErrorText(Net_LastError());
}

}  // namespace

bool
SalvorParseAddress(const std::string &text, uint32_t *ip)
{
   return Net_ParseIPv4(text.c_str(), ip);
}

bool
SalvorParseServer(const std::string &text, uint16_t defaultPort, NetAddr *out,
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
   const char *why = nullptr;
   if (!Net_Resolve(host.c_str(), &out->ip, &why)) {
      *error = "cannot resolve '" + host + "': " + why;
      return false;
   }
   out->port = (uint16_t)port;
   return true;
}

std::string
SalvorFormatAddress(const NetAddr &addr)
{
   char buf[16];
   Net_FormatIPv4(addr.ip, buf, sizeof buf);
   return std::string(buf) + ":" + std::to_string(addr.port);
}

void
SalvorIgnoreBrokenPipe()
{
   std::signal(SIGPIPE, SIG_IGN);
}

bool
SalvorClientSocket::Open(const NetAddr &server, const std::optional<uint32_t> &from,
                         std::string *error)
{
   Close();
   sock_ = Net_UdpSocket(true);
   if (sock_ == NET_INVALID_SOCKET) {
      *error = ErrorText("cannot create socket");
      return false;
   }
   if (from && Net_Bind(sock_, *from, 0) != 0) {
      char ip[16];
      Net_FormatIPv4(*from, ip, sizeof ip);
      *error = ErrorText((std::string("cannot bind to ") + ip).c_str());
      Close();
      return false;
   }
   if (Net_Connect(sock_, &server) != 0) {
      *error = ErrorText(("cannot connect to " + SalvorFormatAddress(server)).c_str());
      Close();
      return false;
   }
   return true;
}

void
SalvorClientSocket::Close()
{
   if (sock_ != NET_INVALID_SOCKET) {
      Net_Close(sock_);
      sock_ = NET_INVALID_SOCKET;
   }
}

bool
SalvorClientSocket::Send(const void *buf, size_t len, std::string *error)
{
   for (;;) {
      long n = Net_Send(sock_, buf, len);
      if (n == (long)len) {
         return true;
      }
      if (n >= 0) {
         *error = "short send";
         return false;
      }
      int err = Net_LastError();
      if (Net_Interrupted(err)) {
         continue;
      }
      // A refusal reported for an earlier datagram, or a full send buffer:
      // as good as a lost datagram, which the caller resends.
      if (Net_Refused(err) || Net_SendBufferFull(err)) {
         return true;
      }
      *error = ErrorText("send failed");
      return false;
   }
}

SalvorClientSocket::RecvResult
SalvorClientSocket::TryRecv(void *buf, size_t cap, size_t *len, std::string *error)
{
   for (;;) {
      size_t full = 0;
      long n = Net_RecvFrom(sock_, buf, cap, nullptr, &full, true);
      if (n >= 0) {
         *len = (size_t)n;
         return Received;
      }
      int err = Net_LastError();
      if (Net_Interrupted(err)) {
         continue;
      }
      if (Net_WouldBlock(err)) {
         return TimedOut;
      }
      if (Net_Refused(err)) {
         return Refused;
      }
      *error = ErrorText("receive failed");
      return Error;
   }
}

SalvorClientSocket::RecvResult
SalvorClientSocket::Wait(std::chrono::nanoseconds wait, std::string *error)
{
   using namespace std::chrono;
   // Round up so that a wait of a few microseconds does not spin; cap at a minute.
   wait = std::clamp<nanoseconds>(wait, nanoseconds(0), minutes(1));
   int ms = (int)duration_cast<milliseconds>(wait + microseconds(999)).count();
   for (;;) {
      int rc = Net_WaitReadable(sock_, ms < 0 ? 0 : ms);
      if (rc > 0) {
         return Received;
      }
      if (rc == 0) {
         return TimedOut;
      }
      if (!Net_Interrupted(Net_LastError())) {
         *error = ErrorText("poll failed");
         return Error;
      }
   }
}
