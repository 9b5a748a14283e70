// Connected UDP socket of the client tools; see salvorSocket.h.
#include "tools/salvorSocket.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>

#include "protocol/salvorProto.h"
#include "protocol/salvorSeal.h"
#include "tools/toolsPlatform.h"

// Datagrams wait here to go out together, and come in here a batch at a
// time: one system call for many. Each buffer holds a sealed datagram,
// sealed into it or opened from it in place of a copy.
struct SalvorClientSocket::Batches {
   uint8_t out[BATCH][SALVOR_SEALED_BUFFER_SIZE];
   NetOutgoing outMsgs[BATCH];
   int outCount = 0;
   uint8_t in[BATCH][SALVOR_SEALED_BUFFER_SIZE];
   NetDatagram inMsgs[BATCH];
   NetRecvSet *inSet = nullptr;
   int inCount = 0;
   int inNext = 0;
   bool inShort = false;  // the last batch left the socket empty

   ~Batches() { Net_RecvSetDestroy(inSet); }
};

namespace {

std::string
SalvorSocketErrorText(const char *what)
{
   return std::string(what) + ": " + Net_ErrorText(Net_LastError());
}

// The one key a client opens with.
const uint8_t *
SalvorSocketFindKey(const void *ctx, const uint8_t *id, int *which)
{
   const SalvorKey *key = static_cast<const SalvorKey *>(ctx);
   if (std::memcmp(id, key->id, SALVOR_SEAL_ID_SIZE) != 0) {
      return nullptr;
   }
   *which = 0;
   return key->key;
}

}  // namespace

namespace {

// Splits "HOST:PORT", "[V6]:PORT", "[V6]", "V6" or "HOST"; false when the
// port is bad.
bool
SalvorSplitHostPort(const std::string &text, std::string *host, std::optional<unsigned> *port)
{
   std::string rest;
   if (text.starts_with("[")) {
      size_t close = text.find(']');
      if (close == std::string::npos) {
         return false;
      }
      *host = text.substr(1, close - 1);
      rest = text.substr(close + 1);
      if (!rest.empty() && !rest.starts_with(":")) {
         return false;
      }
   } else if (size_t colon = text.find(':');
              colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
      *host = text.substr(0, colon);
      rest = text.substr(colon);
   } else {
      *host = text;  // a name, a dotted quad or a bare IPv6 address
   }
   if (rest.empty()) {
      return true;
   }
   unsigned value = 0;
   const char *first = rest.data() + 1;
   const char *last = rest.data() + rest.size();
   auto [end, ec] = std::from_chars(first, last, value);
   if (ec != std::errc() || end != last || first == last || value == 0 || value > 65535) {
      return false;
   }
   *port = value;
   return true;
}

}  // namespace

bool
SalvorParseServer(const std::string &text, uint16_t defaultPort, NetPeer *out,
                  std::string *error)
{
   std::string host;
   std::optional<unsigned> port;
   if (!SalvorSplitHostPort(text, &host, &port)) {
      *error = "bad port in '" + text + "'";
      return false;
   }
   if (host.empty()) {
      *error = "missing host in '" + text + "'";
      return false;
   }
   const char *why = nullptr;
   if (!Net_ResolvePeer(host.c_str(), (uint16_t)port.value_or(defaultPort), out, &why)) {
      *error = "cannot resolve '" + host + "': " + why;
      return false;
   }
   return true;
}

bool
SalvorParseSource(const std::string &text, NetPeer *out, std::string *error)
{
   std::string host = text;
   if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
   }
   const char *why = nullptr;
   if (host.empty() || !Net_ResolvePeer(host.c_str(), 0, out, &why)) {
      *error = "bad source address '" + text + "'";
      return false;
   }
   return true;
}

std::string
SalvorFormatAddress(const NetAddr &addr)
{
   return SalvorFormatPeer(Net_PeerFromIPv4(addr));
}

std::string
SalvorFormatPeer(const NetPeer &peer)
{
   char buf[NET_PEER_TEXT_SIZE];
   Net_FormatPeer(&peer, buf, sizeof buf);
   return buf;
}

void
SalvorIgnoreBrokenPipe()
{
   ToolsPlat_IgnoreBrokenPipe();
}

bool
SalvorClientSocket::Open(const NetPeer &server, const std::optional<NetPeer> &from,
                         std::string *error)
{
   Close();
   if (from && from->v6 != server.v6) {
      *error = "the source address " + SalvorFormatPeer(*from) + " and the collector " +
               SalvorFormatPeer(server) + " are not of one address family";
      return false;
   }
   sock_ = Net_UdpSocketFor(&server, true);
   if (sock_ == NET_INVALID_SOCKET) {
      *error = SalvorSocketErrorText("cannot create socket");
      return false;
   }
   if (from && Net_BindPeer(sock_, &*from) != 0) {
      *error = SalvorSocketErrorText(("cannot bind to " + SalvorFormatPeer(*from)).c_str());
      Close();
      return false;
   }
   if (Net_ConnectPeer(sock_, &server) != 0) {
      *error = SalvorSocketErrorText(("cannot connect to " + SalvorFormatPeer(server)).c_str());
      Close();
      return false;
   }
   refusals_ = 0;
   batches_ = std::make_unique<Batches>();
   for (int i = 0; i < BATCH; i++) {
      batches_->inMsgs[i] = NetDatagram{batches_->in[i], sizeof batches_->in[i], 0, {}};
   }
   batches_->inSet = Net_RecvSetCreate(batches_->inMsgs, BATCH);
   if (batches_->inSet == nullptr) {
      *error = "out of memory";
      Close();
      return false;
   }
   return true;
}

SalvorClientSocket::SalvorClientSocket() = default;

SalvorClientSocket::~SalvorClientSocket()
{
   Close();
}

void
SalvorClientSocket::Close()
{
   if (sock_ != NET_INVALID_SOCKET) {
      Net_Close(sock_);
      sock_ = NET_INVALID_SOCKET;
   }
   batches_.reset();
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
   return Queue(buf, len, error) && Flush(error);
}

// Puts one datagram in the queue, sealed if there is a key; a full queue
// goes out first.
bool
SalvorClientSocket::Add(const void *buf, size_t len, std::string *error)
{
   Batches &b = *batches_;
   if (b.outCount == BATCH && !SendQueued(error)) {
      return false;
   }
   uint8_t *slot = b.out[b.outCount];
   size_t n = std::min(len, SALVOR_RECV_BUFFER_SIZE);
   if (key_ != nullptr) {
      n = SalvorSeal_Seal(key_->key, key_->id, static_cast<const uint8_t *>(buf), n, slot,
                          sizeof b.out[0]);
      if (n == 0) {
         *error = "cannot seal a datagram: the crypto library did not start";
         return false;
      }
   } else {
      std::memcpy(slot, buf, n);
   }
   b.outMsgs[b.outCount] = NetOutgoing{slot, n, {}};
   b.outCount++;
   return true;
}

bool
SalvorClientSocket::Queue(const void *buf, size_t len, std::string *error)
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
      if (!Add(buf, len, error)) {
         return false;
      }
      if (!heldSend_.empty()) {
         std::vector<uint8_t> held;
         held.swap(heldSend_);
         return Add(held.data(), held.size(), error);
      }
      return true;
   }
   return Add(buf, len, error);
}

bool
SalvorClientSocket::Flush(std::string *error)
{
   return batches_->outCount == 0 || SendQueued(error);
}

bool
SalvorClientSocket::SendQueued(std::string *error)
{
   Batches &b = *batches_;
   int at = 0;
   while (at < b.outCount) {
      int n = Net_SendConnectedBatch(sock_, b.outMsgs + at, b.outCount - at);
      if (n > 0) {
         at += n;
         continue;
      }
      int err = Net_LastError();
      refusals_ += n < 0 && Net_Refused(err);
      // A refusal reported for an earlier datagram, or a full send buffer:
      // as good as a lost datagram, which the caller resends.
      if (n == 0 || Net_Refused(err) || Net_SendBufferFull(err)) {
         at++;
         continue;
      }
      *error = SalvorSocketErrorText("send failed");
      b.outCount = 0;
      return false;
   }
   b.outCount = 0;
   return true;
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
   Batches &b = *batches_;
   for (;;) {
      if (b.inNext == b.inCount) {
         int got = 0;
         if (b.inShort) {
            b.inShort = false;
            got = NET_RECV_TIMED_OUT;
         } else {
            got = Net_RecvBatch(sock_, nullptr, b.inSet, 0);
         }
         if (got == NET_RECV_TIMED_OUT) {
            // Nothing came after a held datagram: it arrives late, not never.
            return heldRecv_.empty() ? TimedOut : deliverHeld();
         }
         if (got < 0) {
            int err = Net_LastError();
            if (Net_Interrupted(err)) {
               continue;
            }
            if (Net_Refused(err)) {
               refusals_++;
               return Refused;
            }
            *error = SalvorSocketErrorText("receive failed");
            return Error;
         }
         b.inCount = got;
         b.inNext = 0;
         b.inShort = got < BATCH;
      }
      const NetDatagram &d = b.inMsgs[b.inNext++];
      size_t n = 0;
      if (!Deliver(static_cast<const uint8_t *>(d.buf), std::min(d.length, d.size), buf, cap,
                   &n)) {
         continue;  // did not open: as good as lost
      }
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
      *len = n;
      return Received;
   }
}

// The plain datagram of a received one into buf: a copy, or with a key
// what opens; false when it does not open.
bool
SalvorClientSocket::Deliver(const uint8_t *datagram, size_t n, void *buf, size_t cap,
                            size_t *len)
{
   if (key_ == nullptr) {
      *len = std::min(n, cap);
      std::memcpy(buf, datagram, *len);
      return true;
   }
   SalvorSealLookup lookup{SalvorSocketFindKey, key_};
   int which = 0;
   if (SalvorSeal_Open(lookup, datagram, n, static_cast<uint8_t *>(buf), cap, len, &which) !=
       SALVOR_OPEN_OK) {
      return false;
   }
   opened_++;
   return true;
}

SalvorClientSocket::RecvResult
SalvorClientSocket::Wait(std::chrono::nanoseconds wait, std::string *error)
{
   using namespace std::chrono;
   // Round up so that a wait of a few microseconds does not spin; cap at a minute.
   if (heldRecvDue_) {
      return Received;
   }
   batches_->inShort = false;  // a datagram may have come since
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
         *error = SalvorSocketErrorText("poll failed");
         return Error;
      }
   }
}
