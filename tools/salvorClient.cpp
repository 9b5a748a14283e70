// Client side of the dump protocol; see salvorClient.h.
#include "tools/salvorClient.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "protocol/salvorProto.h"

namespace {

using Clock = std::chrono::steady_clock;

void
FillHeader(uint8_t *wire, uint32_t type, int64_t timestamp, uint32_t dumpID,
           uint32_t dataOffset, uint32_t dataLength, uint64_t sendNumber = 0)
{
   salvorMsgHeader hdr{};
   // The collector echoes the reserved bytes: the reply then tells which
   // send of a message it answers.
   std::memcpy(hdr.reserved1, &sendNumber, sizeof sendNumber);
   hdr.magic = SALVOR_MSG_MAGIC;
   hdr.timestamp = timestamp;
   hdr.dumpID = dumpID;
   hdr.type = type;
   hdr.dataOffset = dataOffset;
   hdr.dataLength = dataLength;
   SalvorEncodeHeader(&hdr, wire);
}

// The send number a reply echoes; 0 when it carries none.
uint64_t
EchoedSendNumber(const salvorMsgHeader &reply)
{
   uint64_t n;
   std::memcpy(&n, reply.reserved1, sizeof n);
   return n;
}

// Decodes a datagram if it is a reply to a request of `type` for this dump.
bool
DecodeReply(const uint8_t *buf, size_t len, uint32_t type, int64_t timestamp,
            salvorMsgHeader *reply)
{
   if (len < SALVOR_HEADER_SIZE) {
      return false;
   }
   SalvorDecodeHeader(buf, reply);
   return reply->magic == SALVOR_MSG_MAGIC && reply->type == type &&
          reply->timestamp == timestamp;
}

int64_t
NowMicros()
{
   using namespace std::chrono;
   return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// Reads exactly `len` bytes at `offset`.
bool
ReadAt(int fd, uint8_t *dst, size_t len, uint64_t offset, std::string *error)
{
   while (len > 0) {
      ssize_t n = pread(fd, dst, len, (off_t)offset);
      if (n < 0 && errno == EINTR) {
         continue;
      }
      if (n <= 0) {
         *error = n == 0 ? "the file became shorter while it was being sent"
                         : std::string("read failed: ") + strerror(errno);
         return false;
      }
      dst += n;
      len -= (size_t)n;
      offset += (uint64_t)n;
   }
   return true;
}

std::string
NoAnswer(const std::string &server, const char *what, unsigned attempts, bool refused)
{
   return "no answer from the collector at " + server + " to the " + what + " after " +
          std::to_string(attempts) + (attempts == 1 ? " attempt" : " attempts") +
          (refused ? " (connection refused: is it running?)" : "");
}

}  // namespace

std::string
SalvorStatusText(uint32_t status)
{
   if (const char *name = SalvorStatusName(status)) {
      return name;
   }
   char buf[32];
   std::snprintf(buf, sizeof buf, "unknown status %#x", status);
   return buf;
}

SalvorCongestion::SalvorCongestion(unsigned maxWindow, std::chrono::microseconds initialRto)
   : maxWindow_(std::max(1u, maxWindow)),
     cwnd_(std::min<double>(SALVOR_INITIAL_WINDOW, maxWindow_)),
     ssthresh_(maxWindow_),
     rto_(std::clamp(initialRto, SALVOR_MIN_RTO, SALVOR_MAX_RTO))
{
}

void
SalvorCongestion::OnReply(Clock::time_point sentAt, Clock::time_point now, bool resent)
{
   using std::chrono::microseconds;
   if (!resent) {
      Measure(std::chrono::duration_cast<microseconds>(now - sentAt));
   }
   cwnd_ += cwnd_ < ssthresh_ ? 1.0 : 1.0 / cwnd_;
   cwnd_ = std::min(cwnd_, maxWindow_);
}

void
SalvorCongestion::Measure(std::chrono::microseconds r)
{
   if (!measured_) {
      srtt_ = r;
      rttvar_ = r / 2;
      measured_ = true;
   } else {
      std::chrono::microseconds diff = srtt_ > r ? srtt_ - r : r - srtt_;
      rttvar_ = (3 * rttvar_ + diff) / 4;
      srtt_ = (7 * srtt_ + r) / 8;
   }
   rto_ = std::clamp(srtt_ + 4 * rttvar_, SALVOR_MIN_RTO, SALVOR_MAX_RTO);
}

void
SalvorCongestion::OnNeedlessResend(Clock::time_point firstSentAt, Clock::time_point now)
{
   if (cwndBeforeCut_ > 0) {
      cwnd_ = std::max(cwnd_, cwndBeforeCut_);
      ssthresh_ = std::max(ssthresh_, ssthreshBeforeCut_);
      cwndBeforeCut_ = 0;
   }
   Measure(std::chrono::duration_cast<std::chrono::microseconds>(now - firstSentAt));
}

void
SalvorCongestion::OnLoss(Clock::time_point sentAt, Clock::time_point now)
{
   // Messages sent before the last cut were sent into the larger window
   // that caused it: their loss says nothing new.
   if (sentAt < lastCut_) {
      return;
   }
   cwndBeforeCut_ = cwnd_;
   ssthreshBeforeCut_ = ssthresh_;
   ssthresh_ = std::max(1.0, std::floor(cwnd_ / 2));
   cwnd_ = ssthresh_;
   lastCut_ = now;
}

void
SalvorCongestion::OnTimeout(Clock::time_point sentAt, Clock::time_point now)
{
   OnLoss(sentAt, now);
   rto_ = std::min(2 * rto_, SALVOR_MAX_RTO);
}

std::chrono::microseconds
SalvorCongestion::Timeout(unsigned sends) const
{
   std::chrono::microseconds t = rto_;
   for (unsigned i = 1; i < sends && t < SALVOR_MAX_RTO; i++) {
      t *= 2;
   }
   return std::min(t, SALVOR_MAX_RTO);
}

SalvorResult
SalvorClient::Open(const NetAddr &server, const std::optional<uint32_t> &from)
{
   std::string error;
   if (!sock_.Open(server, from, &error)) {
      return SalvorResult::Error(SalvorResult::Failed, error);
   }
   serverName_ = SalvorFormatAddress(server);
   return {};
}

// Sends one request and waits for its reply, resending after each timeout.
SalvorResult
SalvorClient::Exchange(uint32_t type, int64_t timestamp, uint32_t dumpID,
                       const SalvorSendOptions &opts, const char *what,
                       uint32_t *assigned, SalvorSendStats *stats)
{
   uint8_t req[SALVOR_HEADER_SIZE];
   FillHeader(req, type, timestamp, dumpID, 0, 0);
   uint8_t buf[SALVOR_RECV_BUFFER_SIZE];
   std::string error;
   bool refused = false;

   for (unsigned attempt = 0; attempt <= opts.retries; attempt++) {
      if (!sock_.Send(req, sizeof req, &error)) {
         return SalvorResult::Error(SalvorResult::Failed, error);
      }
      stats->datagrams++;
      stats->retransmits += attempt > 0;
      Clock::time_point sentAt = Clock::now();
      Clock::time_point deadline = sentAt + cc_->Timeout(attempt + 1);
      for (;;) {
         size_t len = 0;
         switch (sock_.TryRecv(buf, sizeof buf, &len, &error)) {
         case SalvorClientSocket::Received: {
            salvorMsgHeader reply;
            if (!DecodeReply(buf, len, type, timestamp, &reply) || reply.dumpID != dumpID) {
               continue;  // stale or foreign datagram
            }
            if (reply.status != hxk_success) {
               return SalvorResult::Error(SalvorResult::Refused,
                                          std::string("collector refused the ") + what + ": " +
                                             SalvorStatusText(reply.status),
                                          reply.status);
            }
            if (assigned) {
               *assigned = reply.assignedDumpID;
            }
            cc_->OnReply(sentAt, Clock::now(), attempt > 0);
            return {};
         }
         case SalvorClientSocket::Refused:
            refused = true;
            continue;
         case SalvorClientSocket::Error:
            return SalvorResult::Error(SalvorResult::Failed, error);
         case SalvorClientSocket::TimedOut:
            break;
         }
         Clock::time_point now = Clock::now();
         if (now >= deadline) {
            break;
         }
         if (sock_.Wait(deadline - now, &error) == SalvorClientSocket::Error) {
            return SalvorResult::Error(SalvorResult::Failed, error);
         }
      }
   }
   return SalvorResult::Error(SalvorResult::NoAnswer,
                              NoAnswer(serverName_, what, opts.retries + 1, refused));
}

SalvorResult
SalvorClient::StatusCheck(const SalvorSendOptions &opts)
{
   SalvorSendStats stats;
   cc_.emplace(opts.window, opts.timeout);
   sock_.SetTestLoss(opts.testLoss, opts.testLossSeed);
   return Exchange(SALVOR_MSG_STATUS_CHECK, opts.timestamp.value_or(NowMicros()), 0, opts,
                   "status check", nullptr, &stats);
}

SalvorResult
SalvorClient::SendDump(int fd, uint64_t size, const SalvorSendOptions &opts,
                       SalvorSendStats *stats)
{
   if (size > SALVOR_MAX_DUMP_SIZE) {
      return SalvorResult::Error(SalvorResult::Failed,
                                 "file too large (" + std::to_string(size) +
                                    " bytes): a dump cannot exceed 4 GiB");
   }
   if (opts.window == 0) {
      return SalvorResult::Error(SalvorResult::Failed, "window must be at least 1");
   }
   if (opts.timestamp == 0) {
      // A zero time stamp is how some collectors mark a free slot; such a
      // dump could be taken over by the next init there.
      return SalvorResult::Error(SalvorResult::Failed, "the dump time stamp must not be 0");
   }
   *stats = SalvorSendStats{};
   stats->timestamp = opts.timestamp.value_or(NowMicros());
   cc_.emplace(opts.window, opts.timeout);
   sock_.SetTestLoss(opts.testLoss, opts.testLossSeed);
   Clock::time_point start = Clock::now();

   SalvorResult res = Exchange(SALVOR_MSG_INIT, stats->timestamp, 0, opts, "init",
                               &stats->dumpID, stats);
   if (res) {
      res = StreamData(fd, size, stats->timestamp, stats->dumpID, opts, stats);
   }
   if (res) {
      res = Exchange(SALVOR_MSG_DONE, stats->timestamp, stats->dumpID, opts, "done", nullptr,
                     stats);
   }
   stats->seconds = std::chrono::duration<double>(Clock::now() - start).count();
   return res;
}

// Streams the data messages. Chunk k covers bytes [k * 1552, (k + 1) * 1552).
// Up to `window` chunks are in flight; chunks are issued in order and only
// within `ring` chunks of the oldest unacknowledged one, so that chunk k has
// the fixed state entry k % ring and a reply finds it from its dataOffset.
// The ring is wider than the window so that one lost reply does not stall
// the stream until its retransmission.
SalvorResult
SalvorClient::StreamData(int fd, uint64_t size, int64_t timestamp, uint32_t dumpID,
                         const SalvorSendOptions &opts, SalvorSendStats *stats)
{
   struct Chunk {
      Clock::time_point sentAt;       // of its last send
      Clock::time_point firstSentAt;
      uint64_t firstSeq = 0;  // of its first and last send, counted over
      uint64_t seq = 0;       // all sends
      unsigned sends = 0;
      bool inFlight = false;
      bool acked = false;
   };
   const uint64_t chunks = (size + SALVOR_MAX_PAYLOAD - 1) / SALVOR_MAX_PAYLOAD;
   const uint64_t ring = uint64_t{opts.window} * 16;
   std::vector<Chunk> state(std::min<uint64_t>(ring, std::max<uint64_t>(chunks, 1)));
   const uint64_t slots = state.size();

   uint64_t base = 0;   // oldest chunk not yet acknowledged
   uint64_t next = 0;   // next chunk never sent
   unsigned inFlight = 0;
   uint64_t acked = 0;
   uint64_t ackedBytes = 0;
   uint64_t sendSeq = 0;       // sends so far
   uint64_t maxAckedSeq = 0;   // the latest send known to be answered
   Clock::time_point nextCheck = Clock::time_point::max();
   uint8_t msg[SALVOR_RECV_BUFFER_SIZE];
   uint8_t buf[SALVOR_RECV_BUFFER_SIZE];
   std::string error;
   bool refused = false;
   SalvorCongestion &cc = *cc_;

   auto chunkLen = [&](uint64_t k) {
      return (uint32_t)std::min<uint64_t>(SALVOR_MAX_PAYLOAD, size - k * SALVOR_MAX_PAYLOAD);
   };
   // First sends go in the order of the chunks: the file is read a block
   // of chunks at a time; a resend of an older chunk reads it alone.
   constexpr uint64_t READ_AHEAD = 64;
   std::vector<uint8_t> block;
   uint64_t blockFirst = 0;
   uint64_t blockChunks = 0;
   auto readChunk = [&](uint64_t k, uint8_t *dst) {
      uint64_t offset = k * SALVOR_MAX_PAYLOAD;
      if (k < blockFirst) {
         return ReadAt(fd, dst, chunkLen(k), offset, &error);
      }
      if (k >= blockFirst + blockChunks) {
         blockChunks = std::min(READ_AHEAD, chunks - k);
         uint64_t bytes = std::min<uint64_t>(blockChunks * SALVOR_MAX_PAYLOAD, size - offset);
         block.resize(bytes);
         blockFirst = k;
         if (!ReadAt(fd, block.data(), bytes, offset, &error)) {
            blockChunks = 0;
            return false;
         }
      }
      std::memcpy(dst, block.data() + (k - blockFirst) * SALVOR_MAX_PAYLOAD, chunkLen(k));
      return true;
   };
   auto send = [&](uint64_t k) {
      uint64_t offset = k * SALVOR_MAX_PAYLOAD;
      uint32_t len = chunkLen(k);
      FillHeader(msg, SALVOR_MSG_DATA, timestamp, dumpID, (uint32_t)offset, len, sendSeq + 1);
      if (!readChunk(k, msg + SALVOR_HEADER_SIZE) ||
          !sock_.Queue(msg, SALVOR_HEADER_SIZE + len, &error)) {
         return false;
      }
      Chunk &c = state[k % slots];
      c.sentAt = Clock::now();
      c.seq = ++sendSeq;
      if (c.sends == 0) {
         c.firstSeq = c.seq;
         c.firstSentAt = c.sentAt;
      }
      stats->retransmits += c.sends > 0;
      c.sends++;
      c.inFlight = true;
      stats->datagrams++;
      nextCheck = std::min(nextCheck, c.sentAt + cc.Timeout(c.sends));
      return true;
   };
   // A message found lost: resent, unless it has had all its attempts.
   auto resend = [&](uint64_t k, Clock::time_point now, bool timedOut) -> SalvorResult {
      Chunk &c = state[k % slots];
      if (c.sends > opts.retries) {
         std::string what = "data at offset " + std::to_string(k * SALVOR_MAX_PAYLOAD);
         return SalvorResult::Error(SalvorResult::NoAnswer,
                                    NoAnswer(serverName_, what.c_str(), c.sends, refused));
      }
      unsigned before = cc.Window();
      if (timedOut) {
         cc.OnTimeout(c.sentAt, now);
      } else {
         cc.OnLoss(c.sentAt, now);
      }
      stats->windowCuts += cc.Window() < before;
      if (!send(k)) {
         return SalvorResult::Error(SalvorResult::Failed, error);
      }
      return {};
   };

   while (base < chunks) {
      while (inFlight < cc.Window() && next < chunks && next < base + slots) {
         if (!send(next)) {
            return SalvorResult::Error(SalvorResult::Failed, error);
         }
         next++;
         inFlight++;
      }
      // What was queued goes out before the replies are looked at.
      if (!sock_.Flush(&error)) {
         return SalvorResult::Error(SalvorResult::Failed, error);
      }

      bool gotAny = false;
      for (;;) {
         size_t len = 0;
         SalvorClientSocket::RecvResult rr = sock_.TryRecv(buf, sizeof buf, &len, &error);
         if (rr == SalvorClientSocket::TimedOut) {
            break;
         }
         if (rr == SalvorClientSocket::Error) {
            return SalvorResult::Error(SalvorResult::Failed, error);
         }
         if (rr == SalvorClientSocket::Refused) {
            refused = true;
            continue;
         }
         salvorMsgHeader reply;
         if (!DecodeReply(buf, len, SALVOR_MSG_DATA, timestamp, &reply) ||
             reply.dumpID != dumpID || reply.dataOffset % SALVOR_MAX_PAYLOAD != 0) {
            continue;
         }
         uint64_t k = reply.dataOffset / SALVOR_MAX_PAYLOAD;
         if (k < base || k >= next || !state[k % slots].inFlight) {
            continue;  // a duplicate reply to a resent message
         }
         if (reply.status != hxk_success) {
            return SalvorResult::Error(SalvorResult::Refused,
                                       "collector refused the data at offset " +
                                          std::to_string(reply.dataOffset) + ": " +
                                          SalvorStatusText(reply.status),
                                       reply.status);
         }
         gotAny = true;
         Chunk &c = state[k % slots];
         // A reply that names the send it answers measures that send's
         // round trip; one that names none is measured only when the
         // message went once, as it may answer any of its sends.
         uint64_t answered = EchoedSendNumber(reply);
         bool known = answered >= c.firstSeq && answered <= c.seq;
         Clock::time_point replyAt = Clock::now();
         if (known && c.sends > 1 && answered == c.firstSeq) {
            cc.OnNeedlessResend(c.firstSentAt, replyAt);
         }
         bool measured = known ? answered == c.seq : c.sends == 1;
         cc.OnReply(c.sentAt, replyAt, !measured);
         maxAckedSeq = std::max(maxAckedSeq, known ? answered : c.firstSeq);
         c.inFlight = false;
         c.acked = true;
         inFlight--;
         ackedBytes += chunkLen(k);
         if (++acked % 256 == 0 && opts.progress) {
            opts.progress(ackedBytes, size);
         }
         while (base < next && state[base % slots].acked) {
            state[base % slots] = Chunk{};
            base++;
         }
      }
      if (base >= chunks) {
         break;
      }

      Clock::time_point now = Clock::now();
      if (gotAny) {
         // Messages overtaken by later ones go again now. First sends go
         // out in the order of the chunks, so the scan ends at the first
         // one that was not overtaken.
         for (uint64_t k = base; k < next; k++) {
            Chunk &c = state[k % slots];
            if (!c.inFlight) {
               continue;
            }
            if (c.seq + SalvorCongestion::SALVOR_REORDER_THRESHOLD > maxAckedSeq) {
               if (c.sends == 1) {
                  break;
               }
               continue;
            }
            if (SalvorResult res = resend(k, now, false); !res) {
               return res;
            }
         }
      }
      if (now >= nextCheck) {
         // One resend per timeout, as TCP does: when the collector was only
         // slow for a moment, every message in flight is late at once, and
         // resending them all would double its work just when it is behind.
         // The doubled timeout then judges the others; those truly lost
         // with it are overtaken by the resent one once that is answered,
         // and go again at once.
         nextCheck = Clock::time_point::max();
         bool resentOne = false;
         for (uint64_t k = base; k < next; k++) {
            Chunk &c = state[k % slots];
            if (!c.inFlight) {
               continue;
            }
            if (!resentOne && now - c.sentAt >= cc.Timeout(c.sends)) {
               if (SalvorResult res = resend(k, now, true); !res) {
                  return res;
               }
               resentOne = true;
            } else {
               nextCheck = std::min(nextCheck, c.sentAt + cc.Timeout(c.sends));
            }
         }
         continue;
      }
      if (gotAny) {
         continue;  // refill the window before waiting
      }
      if (!sock_.Flush(&error) ||
          sock_.Wait(nextCheck - now, &error) == SalvorClientSocket::Error) {
         return SalvorResult::Error(SalvorResult::Failed, error);
      }
   }
   stats->bytes = size;
   if (opts.progress) {
      opts.progress(size, size);
   }
   return {};
}
