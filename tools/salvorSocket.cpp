// Connected UDP socket of the client tools; see salvorSocket.h.
#include "tools/salvorSocket.h"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstring>

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

void
SalvorClientSocket::SetTestLoss(double share, uint32_t seed)
{
   loss_ = std::clamp(share, 0.0, 0.5);
   lossState_ = seed * 0x9E3779B97F4A7C15ull + 1;
   heldSend_.clear();
   heldRecv_.clear();
   heldRecvDue_ = false;
}

SalvorClientSocket::ShimFate
SalvorClientSocket::Fate()
{
   if (loss_ <= 0) {
      return Pass;
   }
   // xorshift64*: a fixed sequence for a seed, so a failure can be replayed.
   lossState_ ^= lossState_ >> 12;
   lossState_ ^= lossState_ << 25;
   lossState_ ^= lossState_ >> 27;
   double r = (double)((lossState_ * 0x2545F4914F6CDD1Dull) >> 11) / (double)(1ull << 53);
   return r < loss_ ? Drop : r < 2 * loss_ ? Delay : Pass;
}

bool
SalvorClientSocket::Send(const void *buf, size_t len, std::string *error)
{
   if (loss_ > 0) {
      ShimFate fate = Fate();
      if (fate == Drop) {
         return true;
      }
      if (fate == Delay && heldSend_.empty()) {
         const uint8_t *bytes = static_cast<const uint8_t *>(buf);
         heldSend_.assign(bytes, bytes + len);
         return true;
      }
      bool ok = SendNow(buf, len, error);
      if (ok && !heldSend_.empty()) {
         std::vector<uint8_t> held;
         held.swap(heldSend_);
         ok = SendNow(held.data(), held.size(), error);
      }
      return ok;
   }
   return SendNow(buf, len, error);
}

bool
SalvorClientSocket::SendNow(const void *buf, size_t len, std::string *error)
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
   auto deliverHeld = [&] {
      *len = std::min(cap, heldRecv_.size());
      std::memcpy(buf, heldRecv_.data(), *len);
      heldRecv_.clear();
      heldRecvDue_ = false;
      return Received;
   };
   if (heldRecvDue_) {
      return deliverHeld();
   }
   for (;;) {
      size_t full = 0;
      long n = Net_RecvFrom(sock_, buf, cap, nullptr, &full, true);
      if (n >= 0) {
         if (loss_ > 0) {
            ShimFate fate = Fate();
            if (fate == Drop) {
               continue;
            }
            if (fate == Delay && heldRecv_.empty()) {
               const uint8_t *bytes = static_cast<const uint8_t *>(buf);
               heldRecv_.assign(bytes, bytes + n);
               continue;
            }
            heldRecvDue_ = !heldRecv_.empty();
         }
         *len = (size_t)n;
         return Received;
      }
      int err = Net_LastError();
      if (Net_Interrupted(err)) {
         continue;
      }
      if (Net_WouldBlock(err)) {
         // Nothing came after a held datagram: it arrives late, not never.
         return heldRecv_.empty() ? TimedOut : deliverHeld();
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
   if (heldRecvDue_) {
      return Received;
   }
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
