// In-memory collector stand-in; see fakeCollector.h.
#include "tests/tools/fakeCollector.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#include "protocol/salvorProto.h"
#include "protocol/salvorSeal.h"
#include "lib/net/net.h"

namespace {

// The one key the fake opens with.
const uint8_t *
FakeFindKey(const void *ctx, const uint8_t *id, int *which)
{
   const SalvorKey *key = static_cast<const SalvorKey *>(ctx);
   *which = 0;
   return std::memcmp(id, key->id, SALVOR_SEAL_ID_SIZE) == 0 ? key->key : nullptr;
}

}  // namespace

FakeCollector::FakeCollector() : FakeCollector(Behaviour{}) {}

FakeCollector::FakeCollector(Behaviour b) : b_(b)
{
   const char *why = "";
   if (!Net_ResolvePeer(b_.ipv6 ? "::1" : "127.0.0.1", 0, &local_, &why)) {
      throw std::runtime_error(std::string("fake collector: ") + why);
   }
   Bind();
   thread_ = std::thread([this] { Run(); });
}

// Binds the socket to local_, whose port is any at first: then learns it.
void
FakeCollector::Bind()
{
   fd_ = Net_UdpSocketFor(&local_);
   NetAddr bound{};
   if (fd_ == NET_INVALID_SOCKET || Net_BindPeer(fd_, &local_) != 0 ||
       Net_LocalAddr(fd_, &bound) != 0) {
      throw std::runtime_error(std::string("fake collector: ") + Net_ErrorText(Net_LastError()));
   }
   addr_ = NetAddr{NET_LOOPBACK, bound.port};
   const char *why = "";
   Net_ResolvePeer(b_.ipv6 ? "::1" : "127.0.0.1", bound.port, &local_, &why);
}

// The port refuses for a while: what a client sees of a collector that
// stopped and started again.
void
FakeCollector::GoAway()
{
   Net_Close(fd_);
   std::this_thread::sleep_for(std::chrono::milliseconds(b_.goneMs));
   fd_ = Net_UdpSocketFor(&local_);  // on the port of before
   if (fd_ == NET_INVALID_SOCKET || Net_BindPeer(fd_, &local_) != 0) {
      throw std::runtime_error(std::string("fake collector: cannot bind its port again: ") +
                               Net_ErrorText(Net_LastError()));
   }
}

// Counts a data message, and has the collector fall silent, go away or
// forget its dumps at it as told; false when it goes away unanswered.
bool
FakeCollector::DataArrived(Dump **dump)
{
   seen_.data++;
   if (seen_.data == b_.silentAtData) {
      silentUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(b_.silentMs);
   }
   goneNow_ = seen_.data == b_.goneAtData;
   if (!goneNow_ && Forget(seen_.data)) {
      *dump = nullptr;
   }
   return !goneNow_;
}

// Forgets every dump, as a collector restarted without them; `data` is
// the count of data messages seen.
bool
FakeCollector::Forget(unsigned data)
{
   if (b_.forgetAtData == 0 || data % b_.forgetAtData != 0 ||
       seen_.forgotten >= b_.forgetTimes) {
      return false;
   }
   seen_.forgotten++;
   generation_++;
   dumps_.clear();
   return true;
}

FakeCollector::~FakeCollector()
{
   stop_ = true;
   thread_.join();
   Net_Close(fd_);
}

std::string
FakeCollector::Server() const
{
   return (b_.ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(addr_.port);
}

std::vector<FakeCollector::Dump>
FakeCollector::Dumps() const
{
   std::lock_guard lock(mu_);
   return dumps_;
}

FakeCollector::Counts
FakeCollector::Seen() const
{
   std::lock_guard lock(mu_);
   return seen_;
}

void
FakeCollector::Run()
{
   uint8_t buf[SALVOR_SEALED_BUFFER_SIZE];
   uint8_t plain[SALVOR_RECV_BUFFER_SIZE];
   while (!stop_) {
      if (Net_WaitReadable(fd_, 10) <= 0) {
         if (!held_.empty()) {  // nothing followed: let the held reply go
            Reply(held_.data(), heldTo_);
            held_.clear();
         }
         continue;
      }
      NetAddr src{};
      size_t full = 0;
      // Errors (a refused reply surfacing on Windows) are no datagram.
      long n = Net_RecvFrom(fd_, buf, sizeof buf, &src, &full, true);
      if (n <= 0) {
         continue;
      }
      const uint8_t *request = buf;
      size_t length = (size_t)n;
      if (b_.key != nullptr) {
         int which = 0;
         if (SalvorSeal_Open({FakeFindKey, b_.key}, buf, length, plain, sizeof plain, &length,
                             &which) != SALVOR_OPEN_OK) {
            std::lock_guard lock(mu_);
            seen_.unopened++;
            continue;  // a collector that does not know the key is silent
         }
         request = plain;
      }
      if (length >= SALVOR_HEADER_SIZE) {
         Handle(request, length, src);
      }
      if (goneNow_) {
         goneNow_ = false;
         GoAway();
      }
   }
}

void
FakeCollector::SendSealed(const SalvorKey &key, const uint8_t *hdr, const NetAddr &to)
{
   uint8_t sealed[SALVOR_HEADER_SIZE + SALVOR_SEAL_OVERHEAD];
   size_t n = SalvorSeal_Seal(key.key, key.id, hdr, SALVOR_HEADER_SIZE, sealed, sizeof sealed);
   Net_SendTo(fd_, sealed, n, &to);
}

// Replies the client must not take: the same reply refusing, sealed with
// another key, and plain.
void
FakeCollector::Forge(const uint8_t *hdr, const NetAddr &to)
{
   salvorMsgHeader forged;
   SalvorDecodeHeader(hdr, &forged);
   forged.status = hxk_limit_exceeded;
   uint8_t out[SALVOR_HEADER_SIZE];
   SalvorEncodeHeader(&forged, out);
   SendSealed(*b_.forgeKey, out, to);
   Net_SendTo(fd_, out, sizeof out, &to);
}

void
FakeCollector::Reply(const uint8_t *hdr, const NetAddr &to)
{
   if (b_.key == nullptr) {
      Net_SendTo(fd_, hdr, SALVOR_HEADER_SIZE, &to);
      return;
   }
   if (b_.forgeKey != nullptr) {
      Forge(hdr, to);
   }
   SendSealed(b_.replyKey != nullptr ? *b_.replyKey : *b_.key, hdr, to);
}

// A data message for `dump` (null: none of the sender's); the reply's status.
uint32_t
FakeCollector::HandleData(Dump *dump, const salvorMsgHeader &req, size_t payload,
                          const uint8_t *bytes)
{
   if (!dump || dump->done) {
      return hxk_invalid_dump;
   }
   if (req.dataLength > payload) {
      return hxk_write_failed;
   }
   if (b_.dataStatus != hxk_success && req.dataOffset >= b_.failAtOffset) {
      return b_.dataStatus;
   }
   if (dump->data.size() < req.dataOffset + payload) {
      dump->data.resize(req.dataOffset + payload);
   }
   std::memcpy(dump->data.data() + req.dataOffset, bytes, payload);
   return hxk_success;
}

// An init: refused as full or as told, else given the slot of its dump,
// new or (a repeated init) the one it had.
void
FakeCollector::InitArrived(const salvorMsgHeader &req, uint32_t host, salvorMsgHeader *rep)
{
   seen_.init++;
   rep->status = b_.initStatus;
   if (rep->status == hxk_success && seen_.refusedInits < b_.fullInits) {
      seen_.refusedInits++;
      rep->status = hxk_limit_exceeded;
      for (int i = 0; i < 4; i++) {
         rep->reserved2[i] = (uint8_t)(b_.retryHint >> (8 * i));
      }
   }
   if (rep->status != hxk_success) {
      return;
   }
   size_t i = 0;
   while (i < dumps_.size() &&
          !(dumps_[i].host == host && dumps_[i].timestamp == req.timestamp)) {
      i++;
   }
   if (i == dumps_.size()) {
      dumps_.push_back(Dump{host, req.timestamp, {}, false});
      if (b_.key != nullptr) {
         // Tokens differ from one life of the collector to the next.
         const uint8_t token[8] = {'t', 'o', 'k', 'e', 'n', (uint8_t)(0x5a + generation_),
                                   (uint8_t)i, 0xa5};
         std::memcpy(dumps_.back().token, token, sizeof token);
      }
   }
   rep->assignedDumpID = b_.firstSlot + (uint32_t)i;
   std::memcpy(rep->reserved1, dumps_[i].token, sizeof rep->reserved1);
}

void
FakeCollector::Handle(const uint8_t *buf, size_t len, const NetAddr &src)
{
   salvorMsgHeader req;
   SalvorDecodeHeader(buf, &req);
   if (req.magic != SALVOR_MSG_MAGIC) {
      return;
   }
   uint32_t host = src.v6 ? 0 : src.ip;
   salvorMsgHeader rep = req;
   if (b_.zeroReserved) {
      std::memset(rep.reserved1, 0, sizeof rep.reserved1);
      std::memset(rep.reserved2, 0, sizeof rep.reserved2);
   }
   bool drop = b_.silent, hold = false;
   {
      std::lock_guard lock(mu_);
      // The dump a data or done message names, if it belongs to the sender
      // (sealed: and carries its token).
      Dump *dump = nullptr;
      if (req.dumpID >= b_.firstSlot && req.dumpID - b_.firstSlot < dumps_.size()) {
         Dump &d = dumps_[req.dumpID - b_.firstSlot];
         if (d.host == host && d.timestamp == req.timestamp) {
            dump = &d;
         }
      }
      bool later = req.type == SALVOR_MSG_DATA || req.type == SALVOR_MSG_DONE;
      if (later && b_.key != nullptr &&
          (!dump || std::memcmp(req.reserved1, dump->token, sizeof dump->token) != 0)) {
         seen_.badToken++;
         dump = nullptr;
      }
      switch (req.type) {
      case SALVOR_MSG_INIT:
         InitArrived(req, host, &rep);
         break;
      case SALVOR_MSG_DATA: {
         if (!DataArrived(&dump)) {
            return;  // never answered: the socket closes
         }
         if (seen_.data == b_.stallAtData) {
            // Everything sent meanwhile waits in the socket, as in a
            // collector that falls behind for a moment.
            std::this_thread::sleep_for(std::chrono::milliseconds(b_.stallMs));
         }
         rep.status = b_.createStatus != hxk_success && b_.key != nullptr
                         ? b_.createStatus
                         : HandleData(dump, req, len - SALVOR_HEADER_SIZE,
                                      buf + SALVOR_HEADER_SIZE);
         drop = drop || (b_.dropEvery && seen_.data % b_.dropEvery == 0);
         hold = b_.swapEvery && seen_.data % b_.swapEvery == 0;
         break;
      }
      case SALVOR_MSG_DONE:
         seen_.done++;
         if (dump) {
            dump->done = true;
         }
         rep.status = b_.key != nullptr ? b_.createStatus : hxk_success;
         break;
      case SALVOR_MSG_STATUS_CHECK:
         seen_.status++;
         rep.status = hxk_success;
         break;
      default:
         rep.status = hxk_unknown_type;
      }
   }
   if (drop || std::chrono::steady_clock::now() < silentUntil_) {
      return;
   }
   uint8_t out[SALVOR_HEADER_SIZE];
   SalvorEncodeHeader(&rep, out);
   if (hold && held_.empty()) {
      held_.assign(out, out + sizeof out);
      heldTo_ = src;
      return;
   }
   Reply(out, src);
   if (!held_.empty()) {
      Reply(held_.data(), heldTo_);
      held_.clear();
   }
}
