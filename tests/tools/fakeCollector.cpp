// In-memory collector stand-in; see fakeCollector.h.
#include "tests/tools/fakeCollector.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#include "protocol/salvorProto.h"
#include "lib/net/net.h"

FakeCollector::FakeCollector() : FakeCollector(Behaviour{}) {}

FakeCollector::FakeCollector(Behaviour b) : b_(b)
{
   NetPeer local{};
   const char *why = "";
   if (!Net_ResolvePeer(b_.ipv6 ? "::1" : "127.0.0.1", 0, &local, &why)) {
      throw std::runtime_error(std::string("fake collector: ") + why);
   }
   fd_ = Net_UdpSocketFor(&local);
   NetAddr bound{};
   if (fd_ == NET_INVALID_SOCKET || Net_BindPeer(fd_, &local) != 0 ||
       Net_LocalAddr(fd_, &bound) != 0) {
      throw std::runtime_error(std::string("fake collector: ") + Net_ErrorText(Net_LastError()));
   }
   addr_ = NetAddr{NET_LOOPBACK, bound.port};
   thread_ = std::thread([this] { Run(); });
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
   uint8_t buf[SALVOR_RECV_BUFFER_SIZE];
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
      if (n >= (long)SALVOR_HEADER_SIZE) {
         Handle(buf, (size_t)n, src);
      }
   }
}

void
FakeCollector::Reply(const uint8_t *hdr, const NetAddr &to)
{
   Net_SendTo(fd_, hdr, SALVOR_HEADER_SIZE, &to);
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
      // The dump a data or done message names, if it belongs to the sender.
      Dump *dump = nullptr;
      if (req.dumpID >= b_.firstSlot && req.dumpID - b_.firstSlot < dumps_.size()) {
         Dump &d = dumps_[req.dumpID - b_.firstSlot];
         if (d.host == host && d.timestamp == req.timestamp) {
            dump = &d;
         }
      }
      switch (req.type) {
      case SALVOR_MSG_INIT: {
         seen_.init++;
         rep.status = b_.initStatus;
         if (rep.status != hxk_success) {
            break;
         }
         size_t i = 0;  // a repeated init gets its slot again
         while (i < dumps_.size() &&
                !(dumps_[i].host == host && dumps_[i].timestamp == req.timestamp)) {
            i++;
         }
         if (i == dumps_.size()) {
            dumps_.push_back(Dump{host, req.timestamp, {}, false});
         }
         rep.assignedDumpID = b_.firstSlot + (uint32_t)i;
         break;
      }
      case SALVOR_MSG_DATA: {
         seen_.data++;
         if (seen_.data == b_.stallAtData) {
            // Everything sent meanwhile waits in the socket, as in a
            // collector that falls behind for a moment.
            std::this_thread::sleep_for(std::chrono::milliseconds(b_.stallMs));
         }
         size_t payload = len - SALVOR_HEADER_SIZE;
         if (!dump || dump->done) {
            rep.status = hxk_invalid_dump;
         } else if (req.dataLength > payload) {
            rep.status = hxk_write_failed;
         } else if (b_.dataStatus != hxk_success && req.dataOffset >= b_.failAtOffset) {
            rep.status = b_.dataStatus;
         } else {
            if (dump->data.size() < req.dataOffset + payload) {
               dump->data.resize(req.dataOffset + payload);
            }
            std::memcpy(dump->data.data() + req.dataOffset, buf + SALVOR_HEADER_SIZE, payload);
            rep.status = hxk_success;
         }
         drop = drop || (b_.dropEvery && seen_.data % b_.dropEvery == 0);
         hold = b_.swapEvery && seen_.data % b_.swapEvery == 0;
         break;
      }
      case SALVOR_MSG_DONE:
         seen_.done++;
         if (dump) {
            dump->done = true;
         }
         rep.status = hxk_success;
         break;
      case SALVOR_MSG_STATUS_CHECK:
         seen_.status++;
         rep.status = hxk_success;
         break;
      default:
         rep.status = hxk_unknown_type;
      }
   }
   if (drop) {
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
