// Client side of the dump protocol; see salvorClient.h.
#include "tools/salvorClient.h"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "lib/misc/utilScoped.h"
#include "protocol/salvorKeysFile.h"
#include "protocol/salvorProto.h"

namespace {

using Clock = std::chrono::steady_clock;

// Delays between the resends to a collector waited for: short at first,
// as a restart takes a moment, and never long, so that it is found soon
// once it is back.
constexpr std::chrono::milliseconds WAIT_FIRST_DELAY{50};
constexpr std::chrono::milliseconds WAIT_MAX_DELAY{2000};
// Delays between the inits refused for want of a slot, when the collector
// gives no hint: slots free as other dumps end, which takes seconds.
constexpr std::chrono::milliseconds FULL_FIRST_DELAY{250};
constexpr std::chrono::milliseconds FULL_MAX_DELAY{30000};

// The reserved bytes of a request, which the collector echoes in its
// reply: bytes 0..7 and 12..15 of the header.
struct SalvorReserved {
   uint8_t first[8] = {};
   uint8_t second[4] = {};
};

void
SalvorClientFillHeader(uint8_t *wire, uint32_t type, int64_t timestamp, uint32_t dumpID,
                       uint32_t dataOffset, uint32_t dataLength, const SalvorReserved &reserved)
{
   salvorMsgHeader hdr{};
   std::memcpy(hdr.reserved1, reserved.first, sizeof hdr.reserved1);
   std::memcpy(hdr.reserved2, reserved.second, sizeof hdr.reserved2);
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
SalvorClientEchoedSendNumber(const salvorMsgHeader &reply)
{
   uint64_t n;
   std::memcpy(&n, reply.reserved1, sizeof n);
   return n;
}

// Decodes a datagram if it is a reply to a request of `type` for this dump.
bool
SalvorClientDecodeReply(const uint8_t *buf, size_t len, uint32_t type, int64_t timestamp,
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
SalvorClientNowMicros()
{
   using namespace std::chrono;
   return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string
SalvorClientAttempts(unsigned attempts)
{
   return std::to_string(attempts) + (attempts == 1 ? " attempt" : " attempts");
}

// Retries ran out. A sealed conversation that never had an answer that
// opened, from a collector that did not refuse it, most likely speaks to
// one that does not know the key.
std::string
SalvorClientNoAnswer(const SalvorClientSocket &sock, uint64_t openedBefore,
                     const std::string &server, const char *what, unsigned attempts,
                     bool refused)
{
   if (sock.Sealed() && sock.Opened() == openedBefore && !refused) {
      return "no sealed answer from " + server +
             ": is this host's key in the collector's keys file?";
   }
   return "no answer from the collector at " + server + " to the " + what + " after " +
          SalvorClientAttempts(attempts) +
          (refused ? " (connection refused: is it running?)" : "");
}

// In a sealed conversation the dump's file is made on its first data (or
// the done of an empty dump), whose reply then says what an init's would.
bool
SalvorClientIsCreateRefusal(bool sealed, uint32_t status)
{
   return sealed && (status == hxk_create_failed || status == hxk_limit_exceeded);
}

/*
 * The collector answered earlier in the dump, then fell silent or refused
 * (nothing listening: stopped, restarting) for longer than the wait.
 */
SalvorResult
SalvorClientWaitedInVain(const std::string &server, const std::string &what,
                         std::chrono::seconds wait, bool refused)
{
   std::string waited = std::to_string(wait.count()) + " s";
   return SalvorResult::Error(
      SalvorResult::NoAnswer,
      refused ? "connection refused by " + server + " in the middle of the dump (did the "
                "collector stop?); gave up the " + what + " after waiting " + waited +
                " for it to come back"
              : "the collector at " + server + " stopped answering in the middle of the "
                "dump; gave up the " + what + " after waiting " + waited +
                " for it to answer again");
}

// The collector's hint, in a refusal for want of a slot, of the seconds
// until one frees: header bytes 12..15, little-endian; 0 when none.
uint32_t
SalvorClientRetryHint(const salvorMsgHeader &reply)
{
   const uint8_t *b = reply.reserved2;
   return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

void
SalvorClientNotify(const SalvorSendOptions &opts, SalvorNotice::Kind kind, unsigned seconds,
                   std::string text)
{
   if (opts.notice) {
      opts.notice(SalvorNotice{kind, seconds, std::move(text)});
   }
}

// The collector is waited for, for `left` at most.
void
SalvorClientTellWaiting(const SalvorSendOptions &opts, Clock::duration left)
{
   unsigned secs = (unsigned)std::chrono::ceil<std::chrono::seconds>(left).count();
   SalvorClientNotify(opts, SalvorNotice::Silent, secs,
                      "collector not answering: waiting up to " + std::to_string(secs) +
                         " s for it");
}

// Whole seconds, at least 1: what a person is told of a delay.
unsigned
SalvorClientSeconds(std::chrono::milliseconds d)
{
   return std::max(1u, (unsigned)((d.count() + 500) / 1000));
}

// The collector refused a request, a single message such as the init.
SalvorResult
SalvorClientRefusal(bool sealed, const char *what, uint32_t status)
{
   return SalvorResult::Error(SalvorResult::Refused,
                              std::string("collector refused the ") +
                                 (SalvorClientIsCreateRefusal(sealed, status) ? "init" : what) +
                                 ": " + SalvorStatusText(status),
                              status);
}

// Nothing listens on the collector's port: waiting longer will not help.
SalvorResult
SalvorClientRefused(const std::string &server, const std::string &what, const std::string &after)
{
   return SalvorResult::Error(SalvorResult::NoAnswer,
                              "connection refused by " + server + " (nothing listens there: "
                              "is the collector running?); gave up the " + what + " after " +
                              after);
}

}  // namespace

bool
SalvorLoadHostKey(const char *path, SalvorKeys *out, std::string *why)
{
   if (!SalvorKeys_Load(path, out, why)) {
      return false;
   }
   if (out->count != 1) {
      *why = std::string("keys file \"") + path + "\": holds " +
             (out->count == 0 ? std::string("no key") : std::to_string(out->count) + " keys") +
             "; a host's key file holds its own key alone";
      SalvorKeys_Free(out);
      return false;
   }
   return true;
}

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

SalvorBackoff::SalvorBackoff(std::chrono::milliseconds first, std::chrono::milliseconds cap)
   : first_(std::max(first, std::chrono::milliseconds(2))),
     cap_(std::max(cap, first_)),
     step_(first_),
     state_((uint64_t)Clock::now().time_since_epoch().count() ^
            (uint64_t)(uintptr_t)this ^ 0x9E3779B97F4A7C15ull)
{
}

uint64_t
SalvorBackoff::Random()
{
   // xorshift64*: any spread will do, it need not be unpredictable.
   state_ ^= state_ >> 12;
   state_ ^= state_ << 25;
   state_ ^= state_ >> 27;
   return state_ * 0x2545F4914F6CDD1Dull;
}

std::chrono::milliseconds
SalvorBackoff::Next()
{
   std::chrono::milliseconds half = step_ / 2;
   std::chrono::milliseconds d =
      half + std::chrono::milliseconds(Random() % (uint64_t)(half.count() + 1));
   step_ = std::min(step_ * 2, cap_);
   return d;
}

std::chrono::milliseconds
SalvorBackoff::Spread(std::chrono::milliseconds d)
{
   return d + std::chrono::milliseconds(Random() % (uint64_t)(d.count() / 4 + 1));
}

SalvorCongestion::SalvorCongestion(unsigned maxWindow, std::chrono::microseconds initialRto)
   : maxWindow_(std::max(1u, maxWindow)),
     initialRto_(initialRto),
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

void
SalvorCongestion::Restart(Clock::time_point now)
{
   cwnd_ = std::min<double>(SALVOR_INITIAL_WINDOW, maxWindow_);
   ssthresh_ = maxWindow_;
   cwndBeforeCut_ = 0;
   lastCut_ = now;
   rto_ = std::clamp(measured_ ? srtt_ + 4 * rttvar_ : initialRto_, SALVOR_MIN_RTO,
                     SALVOR_MAX_RTO);
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
SalvorClient::Open(const NetPeer &server, const std::optional<NetPeer> &from)
{
   std::string error;
   if (!sock_.Open(server, from, &error)) {
      return SalvorResult::Error(SalvorResult::Failed, error);
   }
   serverName_ = SalvorFormatPeer(server);
   return {};
}

SalvorResult
SalvorClient::Open(const NetAddr &server, const std::optional<uint32_t> &from)
{
   std::optional<NetPeer> local;
   if (from) {
      local = Net_PeerFromIPv4(NetAddr{*from, 0});
   }
   return Open(Net_PeerFromIPv4(server), local);
}

// One message of an exchange: what it asks, of which dump, and the
// reserved bytes it carries.
struct SalvorClient::Request {
   uint32_t type;
   int64_t timestamp;
   uint32_t dumpID;
   const char *what;  // for messages: "init", "done", "status check"
   SalvorReserved reserved;
};

bool
SalvorClient::MayWait(const SalvorSendOptions &opts) const
{
   return answered_ && opts.wait.count() > 0 && Clock::now() < lastAnswer_ + opts.wait;
}

// Retries, or refusals, ended an exchange.
SalvorResult
SalvorClient::GiveUp(const char *what, unsigned attempts, bool refused, bool refusedEnough,
                     const SalvorSendOptions &opts) const
{
   if (answered_ && opts.wait.count() > 0) {
      return SalvorClientWaitedInVain(serverName_, what, opts.wait, refused);
   }
   if (refusedEnough) {
      return SalvorClientRefused(serverName_, what, SalvorClientAttempts(attempts));
   }
   return SalvorResult::Error(
      SalvorResult::NoAnswer,
      SalvorClientNoAnswer(sock_, openedBefore_, serverName_, what, attempts, refused));
}

/*
 * Sends one request and waits for its reply, resending after each
 * timeout; *reply is the reply's header on success, or on a refusal.
 * Once the collector has answered in this conversation, running out of
 * retries or meeting refusals waits for it (SalvorSendOptions::wait),
 * resending after backed-off delays.
 */
SalvorResult
SalvorClient::Exchange(const Request &request, const SalvorSendOptions &opts,
                       salvorMsgHeader *reply, SalvorSendStats *stats)
{
   uint8_t req[SALVOR_HEADER_SIZE];
   SalvorClientFillHeader(req, request.type, request.timestamp, request.dumpID, 0, 0,
                          request.reserved);
   uint8_t buf[SALVOR_RECV_BUFFER_SIZE];
   std::string error;
   bool refused = false;
   const uint64_t refusalsBefore = sock_.Refusals();
   const unsigned refusalsToGiveUp = std::max(1u, opts.refusalsToGiveUp);
   SalvorBackoff backoff(WAIT_FIRST_DELAY, WAIT_MAX_DELAY);
   auto giveUp = [&](unsigned attempts) {
      return GiveUp(request.what, attempts, refused,
                    sock_.Refusals() - refusalsBefore >= refusalsToGiveUp, opts);
   };

   bool told = false;
   for (unsigned attempt = 0;; attempt++) {
      bool waiting = attempt > opts.retries ||
                     sock_.Refusals() - refusalsBefore >= refusalsToGiveUp;
      if (waiting && !MayWait(opts)) {
         return giveUp(attempt);
      }
      if (waiting && !told) {
         told = true;
         SalvorClientTellWaiting(opts, lastAnswer_ + opts.wait - Clock::now());
      }
      if (!sock_.Send(req, sizeof req, &error)) {
         return SalvorResult::Error(SalvorResult::Failed, error);
      }
      stats->datagrams++;
      stats->retransmits += attempt > 0;
      Clock::time_point sentAt = Clock::now();
      Clock::time_point deadline = sentAt + (waiting ? Clock::duration(backoff.Next())
                                                     : Clock::duration(cc_->Timeout(attempt + 1)));
      for (;;) {
         size_t len = 0;
         switch (sock_.TryRecv(buf, sizeof buf, &len, &error)) {
         case SalvorClientSocket::Received: {
            if (!SalvorClientDecodeReply(buf, len, request.type, request.timestamp, reply) ||
                reply->dumpID != request.dumpID) {
               continue;  // stale or foreign datagram
            }
            Answered();
            if (told) {
               SalvorClientNotify(opts, SalvorNotice::Back, 0, "collector answers again");
            }
            if (reply->status != hxk_success) {
               return SalvorClientRefusal(sock_.Sealed(), request.what, reply->status);
            }
            cc_->OnReply(sentAt, Clock::now(), attempt > 0);
            return {};
         }
         case SalvorClientSocket::Refused:
            refused = true;
            break;
         case SalvorClientSocket::Error:
            return SalvorResult::Error(SalvorResult::Failed, error);
         case SalvorClientSocket::TimedOut:
            break;
         }
         if (sock_.Refusals() - refusalsBefore >= refusalsToGiveUp && !MayWait(opts)) {
            return giveUp(attempt + 1);
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
}

// Readies the client for one conversation: a status check, or a dump.
void
SalvorClient::Begin(const SalvorSendOptions &opts)
{
   cc_.emplace(opts.window, opts.timeout);
   sock_.SetTestLoss(opts.testLoss, opts.testLossSeed);
   sock_.SetKey(opts.key);
   openedBefore_ = sock_.Opened();
   std::memset(token_, 0, sizeof token_);
   answered_ = false;
}

// Discards what waits on the socket: replies to a conversation given up.
void
SalvorClient::Drain()
{
   uint8_t buf[SALVOR_RECV_BUFFER_SIZE];
   std::string error;
   for (int empty = 0; empty < 2;) {
      size_t len = 0;
      switch (sock_.TryRecv(buf, sizeof buf, &len, &error)) {
      case SalvorClientSocket::TimedOut:
         empty++;
         break;
      case SalvorClientSocket::Error:
         return;
      default:
         empty = 0;
      }
   }
}

/*
 * Asks for a slot. A collector that has none free says hxk_limit_exceeded;
 * the init is then tried again for the wait, after backed-off delays of
 * at least the collector's hint.
 */
SalvorResult
SalvorClient::Init(const SalvorSendOptions &opts, SalvorSendStats *stats)
{
   SalvorBackoff backoff(FULL_FIRST_DELAY, FULL_MAX_DELAY);
   std::optional<Clock::time_point> giveUpAt;
   for (;;) {
      salvorMsgHeader reply;
      SalvorResult res =
         Exchange({SALVOR_MSG_INIT, stats->timestamp, 0, "init", {}}, opts, &reply, stats);
      if (res) {
         stats->dumpID = reply.assignedDumpID;
         if (sock_.Sealed()) {
            std::memcpy(token_, reply.reserved1, sizeof token_);
         }
         return res;
      }
      if (res.kind != SalvorResult::Refused || res.status != hxk_limit_exceeded ||
          opts.wait.count() <= 0) {
         return res;
      }
      Clock::time_point now = Clock::now();
      giveUpAt = giveUpAt.value_or(now + opts.wait);
      if (now >= *giveUpAt) {
         return res;
      }
      std::chrono::milliseconds delay = backoff.Next();
      std::chrono::milliseconds hint = std::chrono::seconds(SalvorClientRetryHint(reply));
      if (hint > delay) {
         delay = backoff.Spread(hint);  // clients given one hint come back apart
      }
      delay = std::min(delay, std::chrono::duration_cast<std::chrono::milliseconds>(
                                 *giveUpAt - now + std::chrono::milliseconds(1)));
      unsigned secs = SalvorClientSeconds(delay);
      SalvorClientNotify(opts, SalvorNotice::Full, secs,
                         "collector full: retrying in " + std::to_string(secs) + " s");
      std::this_thread::sleep_for(delay);
      Drain();  // late answers to the refused init
   }
}

SalvorResult
SalvorClient::StatusCheck(const SalvorSendOptions &opts)
{
   SalvorSendStats stats;
   Begin(opts);
   Request request{SALVOR_MSG_STATUS_CHECK, opts.timestamp.value_or(SalvorClientNowMicros()), 0,
                   "status check", {}};
   salvorMsgHeader reply;
   return Exchange(request, opts, &reply, &stats);
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
   std::unique_ptr<SalvorDumpSource> source = SalvorFileSource(fd, size);
   return SendDump(*source, opts, stats);
}

SalvorResult
SalvorClient::SendDump(SalvorDumpSource &source, const SalvorSendOptions &opts,
                       SalvorSendStats *stats)
{
   if (opts.window == 0) {
      return SalvorResult::Error(SalvorResult::Failed, "window must be at least 1");
   }
   if (opts.timestamp == 0) {
      // A zero time stamp is how some collectors mark a free slot; such a
      // dump could be taken over by the next init there.
      return SalvorResult::Error(SalvorResult::Failed, "the dump time stamp must not be 0");
   }
   if (std::string error; !source.Start(&error)) {
      return SalvorResult::Error(SalvorResult::Failed, error);
   }
   *stats = SalvorSendStats{};
   stats->timestamp = opts.timestamp.value_or(SalvorClientNowMicros());
   Begin(opts);
   Clock::time_point start = Clock::now();
   SalvorResult res = SendOnce(source, opts, stats);
   if (!res && res.kind == SalvorResult::Refused && res.status == hxk_invalid_dump) {
      res = StartAgain(source, res, opts, stats);
   }
   stats->seconds = std::chrono::duration<double>(Clock::now() - start).count();
   return res;
}

// One try of the dump: init, data, done.
SalvorResult
SalvorClient::SendOnce(SalvorDumpSource &source, const SalvorSendOptions &opts,
                       SalvorSendStats *stats)
{
   SalvorResult res = Init(opts, stats);
   if (res) {
      res = StreamData(source, stats->timestamp, stats->dumpID, opts, stats);
   }
   if (res) {
      Request done{SALVOR_MSG_DONE, stats->timestamp, stats->dumpID, "done", {}};
      std::memcpy(done.reserved.first, token_, sizeof token_);
      // A sparse dump's holes are left out on purpose; the done says so.
      if (source.Sparse()) {
         std::memcpy(done.reserved.second, SALVOR_DONE_SPARSE, sizeof done.reserved.second);
      }
      salvorMsgHeader reply;
      res = Exchange(done, opts, &reply, stats);
   }
   return res;
}

/*
 * The collector no longer knows the dump (hxk_invalid_dump: it restarted
 * without keeping its dumps, or swept this one while it could not be
 * reached). A source that can be read again from its start is sent again
 * as a new dump, a few times at most; a stream cannot be.
 */
SalvorResult
SalvorClient::StartAgain(SalvorDumpSource &source, const SalvorResult &lost,
                         const SalvorSendOptions &opts, SalvorSendStats *stats)
{
   SalvorResult res = lost;
   while (!res && res.kind == SalvorResult::Refused && res.status == hxk_invalid_dump) {
      std::string error;
      if (stats->restarts >= SALVOR_MAX_RESTARTS) {
         return SalvorResult::Error(SalvorResult::Failed,
                                    "the collector at " + serverName_ + " lost the dump " +
                                       std::to_string(stats->restarts + 1) +
                                       " times (hxk_invalid_dump); gave up");
      }
      if (!source.Rewind(&error)) {
         return SalvorResult::Error(
            SalvorResult::Failed,
            "the collector at " + serverName_ + " lost the dump (hxk_invalid_dump: it " +
               "restarted without keeping it?) and a stream cannot be sent again from its " +
               "start" + (error.empty() ? "" : ": " + error));
      }
      stats->restarts++;
      SalvorClientNotify(opts, SalvorNotice::Restarting, 0,
                         "the collector at " + serverName_ + " lost dump " +
                            std::to_string(stats->dumpID) +
                            " (hxk_invalid_dump): sending it again from the beginning");
      Drain();
      std::memset(token_, 0, sizeof token_);
      res = SendOnce(source, opts, stats);
   }
   return res;
}

namespace {

/*
 * Streams the data messages of one dump. Chunk k is the source's k-th
 * piece, of at most 1552 bytes. Up to a window of chunks are in flight;
 * chunks are issued in order and only within a ring of `slots_` chunks
 * from the oldest unacknowledged one, so that chunk k has the fixed state
 * entry k % slots_; its messages carry k, which the reply echoes. The
 * ring is wider than the window so that one lost reply does not stall the
 * stream until its retransmission. A source that cannot be read again has
 * the ring keep each chunk's bytes until it is acknowledged.
 *
 * Pieces of a flattened dump may land on bytes written before. As the
 * network may reorder datagrams, a piece below the highest offset sent
 * so far waits until every chunk before it is acknowledged, so that the
 * later bytes are the ones that stay.
 *
 * A plain message carries its send number in header bytes 0..7 and k in
 * bytes 12..15, which the reply echoes. A sealed one has the dump's token
 * in bytes 0..7, so bytes 12..15 carry k's low 16 bits and which send of
 * chunk k it is (1 for the first, up to SALVOR_SEND_MANY for that one and
 * any later); the ring then has at most 65536 slots, so that 16 bits
 * still name a chunk in it.
 */
class DataStream {
public:
   struct Target {
      SalvorClientSocket &sock;
      SalvorCongestion &cc;
      const std::string &serverName;  // for messages
      uint64_t openedBefore;          // the socket's sealed replies before the dump
      int64_t timestamp;
      uint32_t dumpID;
      const uint8_t *token;           // the dump's token when sealed, else null
      uint64_t &sendNumbers;          // the last send number given, over the dump's tries
      Clock::time_point &lastAnswer;  // when the collector last answered
   };

   DataStream(const Target &target, SalvorDumpSource &source, const SalvorSendOptions &opts,
              SalvorSendStats *stats);
   SalvorResult Run();

private:
   static constexpr uint64_t RING_WINDOWS = 16;  // ring size in largest windows
   // Ring size when the ring keeps the bytes: at most 25 MB of them.
   static constexpr uint64_t MAX_KEPT_SLOTS = 16384;
   // Ring size of a sealed dump, whose messages name a chunk in 16 bits.
   static constexpr uint64_t MAX_SEALED_SLOTS = uint64_t{1} << 16;
   static constexpr uint32_t SALVOR_SEND_MANY = 0xFFFF;

   struct Chunk {
      uint64_t offset = 0;
      uint32_t length = 0;
      Clock::time_point sentAt;       // of its last send
      Clock::time_point firstSentAt;
      uint64_t firstSeq = 0;  // of its first and last send, counted over
      uint64_t seq = 0;       // all sends
      unsigned sends = 0;
      bool inFlight = false;
      bool acked = false;
   };

   SalvorResult Failed() const { return SalvorResult::Error(SalvorResult::Failed, error_); }
   Chunk &StateOf(uint64_t k) { return state_[k % slots_]; }
   uint8_t *KeptBytes(uint64_t k) { return kept_.data() + (k % slots_) * SALVOR_MAX_PAYLOAD; }
   bool Finished() const { return ended_ && !pending_ && base_ == next_; }
   bool Send(uint64_t k, bool bytesInMsg);
   bool ReadNext();
   bool FillWindow();
   SalvorReserved Reserved(uint64_t k) const;
   bool FindChunk(const salvorMsgHeader &reply, uint64_t *k);
   uint64_t AnsweredSend(const salvorMsgHeader &reply, const Chunk &c) const;
   SalvorResult TakeReplies(bool *gotAny);
   void Acknowledge(uint64_t k, uint64_t answered);
   SalvorResult Resend(uint64_t k, Clock::time_point now, bool timedOut);
   SalvorResult ResendOvertaken(Clock::time_point now);
   SalvorResult ResendTimedOut(Clock::time_point now);
   bool IsStale(const salvorMsgHeader &reply) const;
   bool MayWait(Clock::time_point now) const
   {
      return opts_.wait.count() > 0 && now < target_.lastAnswer + opts_.wait;
   }
   void StartWaiting(Clock::time_point now);
   SalvorResult Probe(Clock::time_point now);
   SalvorResult ResendAfterSilence();

   Target target_;
   const bool sealed_;
   SalvorDumpSource &source_;
   const SalvorSendOptions &opts_;
   SalvorSendStats *stats_;
   std::vector<Chunk> state_;
   const uint64_t slots_;  // state_.size()
   // The ring keeps each chunk's bytes: the source cannot give them again,
   // or a chunk may have to wait after being read (see above).
   const bool keepBytes_;
   std::vector<uint8_t> kept_;
   bool ended_ = false;         // the source has given its last piece
   bool pending_ = false;       // chunk next_ is read but waits to be sent
   uint64_t highWater_ = 0;     // the end of the highest bytes sent

   uint64_t base_ = 0;   // oldest chunk not yet acknowledged
   uint64_t next_ = 0;   // next chunk never sent
   unsigned inFlight_ = 0;
   uint64_t acked_ = 0;
   uint64_t ackedBytes_ = 0;
   uint64_t &sendSeq_;          // the last send number given
   const uint64_t firstSeq_;    // the last one before this try of the dump
   uint64_t maxAckedSeq_ = 0;   // the latest send known to be answered
   Clock::time_point nextCheck_ = Clock::time_point::max();
   uint8_t msg_[SALVOR_RECV_BUFFER_SIZE];
   uint8_t buf_[SALVOR_RECV_BUFFER_SIZE];
   std::string error_;
   bool refused_ = false;
   uint64_t refusalsAtReply_;  // the socket's count at the last reply
   // Waiting for a collector that fell silent or refuses: one message,
   // the oldest in flight, goes again after each backed-off delay.
   bool waiting_ = false;
   SalvorBackoff backoff_{WAIT_FIRST_DELAY, WAIT_MAX_DELAY};
};

namespace {

uint64_t
SalvorClientRingSlots(const SalvorDumpSource &source, unsigned window, uint64_t perWindow,
                      uint64_t maxKept, uint64_t most)
{
   uint64_t slots = std::min(uint64_t{window} * perWindow, most);
   if (!source.Rereadable() || !source.Sequential()) {
      slots = std::min(slots, std::max<uint64_t>(maxKept, window));
   }
   if (source.Rereadable()) {  // its size is known
      uint64_t pieces = (source.Size() + SALVOR_MAX_PAYLOAD - 1) / SALVOR_MAX_PAYLOAD;
      slots = std::min(slots, std::max<uint64_t>(pieces, 1));
   }
   return std::max<uint64_t>(slots, 1);
}

}  // namespace

DataStream::DataStream(const Target &target, SalvorDumpSource &source,
                       const SalvorSendOptions &opts, SalvorSendStats *stats)
   : target_(target),
     sealed_(target.token != nullptr),
     source_(source),
     opts_(opts),
     stats_(stats),
     state_(SalvorClientRingSlots(source, opts.window, RING_WINDOWS, MAX_KEPT_SLOTS,
                                  sealed_ ? MAX_SEALED_SLOTS : UINT64_MAX)),
     slots_(state_.size()),
     keepBytes_(!source.Rereadable() || !source.Sequential()),
     kept_(keepBytes_ ? slots_ * SALVOR_MAX_PAYLOAD : 0),
     sendSeq_(target.sendNumbers),
     firstSeq_(target.sendNumbers),
     refusalsAtReply_(target.sock.Refusals())
{
}

SalvorResult
DataStream::Run()
{
   while (!Finished()) {
      if (!FillWindow()) {
         return Failed();
      }
      bool gotAny = false;
      if (SalvorResult res = TakeReplies(&gotAny); !res) {
         return res;
      }
      if (Finished()) {
         break;
      }
      Clock::time_point now = Clock::now();
      if (gotAny) {
         if (SalvorResult res = ResendOvertaken(now); !res) {
            return res;
         }
      }
      if (now >= nextCheck_) {
         if (SalvorResult res = ResendTimedOut(now); !res) {
            return res;
         }
         continue;
      }
      if (gotAny) {
         continue;  // refill the window before waiting
      }
      if (!target_.sock.Flush(&error_) ||
          target_.sock.Wait(nextCheck_ - now, &error_) == SalvorClientSocket::Error) {
         return Failed();
      }
   }
   stats_->bytes = ackedBytes_;
   if (opts_.progress) {
      opts_.progress(ackedBytes_, source_.Size());
   }
   return {};
}

// Queues chunk k with the next send number. Its bytes are in msg_
// already when it has just been read, else read again or taken from the ring.
bool
DataStream::Send(uint64_t k, bool bytesInMsg)
{
   Chunk &c = StateOf(k);
   uint8_t *payload = msg_ + SALVOR_HEADER_SIZE;
   if (!bytesInMsg) {
      if (!keepBytes_) {
         if (!source_.Reread(payload, c.offset, c.length, &error_)) {
            return false;
         }
      } else {
         std::memcpy(payload, KeptBytes(k), c.length);
      }
   }
   SalvorClientFillHeader(msg_, SALVOR_MSG_DATA, target_.timestamp, target_.dumpID,
                          (uint32_t)c.offset, c.length, Reserved(k));
   if (!target_.sock.Queue(msg_, SALVOR_HEADER_SIZE + c.length, &error_)) {
      return false;
   }
   c.sentAt = Clock::now();
   c.seq = ++sendSeq_;
   if (c.sends == 0) {
      c.firstSeq = c.seq;
      c.firstSentAt = c.sentAt;
   }
   stats_->retransmits += c.sends > 0;
   c.sends++;
   c.inFlight = true;
   stats_->datagrams++;
   nextCheck_ = std::min(nextCheck_, c.sentAt + target_.cc.Timeout(c.sends));
   return true;
}

// Reads the source's next piece as chunk next_, into msg_ (and the ring,
// for a source read once); sets ended_ after the last.
bool
DataStream::ReadNext()
{
   uint8_t *dst = keepBytes_ ? KeptBytes(next_) : msg_ + SALVOR_HEADER_SIZE;
   uint64_t offset = 0;
   uint32_t length = 0;
   switch (source_.Next(dst, SALVOR_MAX_PAYLOAD, &offset, &length, &error_)) {
   case SalvorDumpSource::End:
      ended_ = true;
      return true;
   case SalvorDumpSource::Failed:
      return false;
   case SalvorDumpSource::Piece:
      break;
   }
   if (offset + length > SALVOR_MAX_DUMP_SIZE) {
      error_ = "the dump reaches past 4 GiB (to byte " + std::to_string(offset + length) +
               "), beyond what a data message can address";
      return false;
   }
   StateOf(next_) = Chunk{};
   StateOf(next_).offset = offset;
   StateOf(next_).length = length;
   pending_ = true;
   return true;
}

// Sends new chunks while the window and the ring allow.
bool
DataStream::FillWindow()
{
   while (!waiting_ && inFlight_ < target_.cc.Window() && next_ < base_ + slots_) {
      bool justRead = false;
      if (!pending_) {
         if (ended_) {
            break;
         }
         if (!ReadNext()) {
            return false;
         }
         if (ended_) {
            break;
         }
         justRead = true;
      }
      const Chunk &c = StateOf(next_);
      if (c.offset < highWater_ && base_ < next_) {
         break;  // may land on bytes in flight: wait for them (only kept bytes wait)
      }
      highWater_ = std::max(highWater_, c.offset + c.length);
      if (!Send(next_, justRead && !keepBytes_)) {
         return false;
      }
      pending_ = false;
      next_++;
      inFlight_++;
   }
   // What was queued goes out before the replies are looked at.
   return target_.sock.Flush(&error_);
}

// The reserved bytes of chunk k's next send (see above).
SalvorReserved
DataStream::Reserved(uint64_t k) const
{
   SalvorReserved r;
   uint32_t tag = (uint32_t)k;
   if (sealed_) {
      std::memcpy(r.first, target_.token, sizeof r.first);
      uint32_t send = std::min(state_[k % slots_].sends + 1, SALVOR_SEND_MANY);
      tag = (tag & 0xFFFF) | send << 16;
   } else {
      uint64_t sendNumber = sendSeq_ + 1;
      std::memcpy(r.first, &sendNumber, sizeof sendNumber);
   }
   std::memcpy(r.second, &tag, sizeof tag);
   return r;
}

// The chunk a data reply answers: the one its echoed number names, else
// (a collector that does not echo the reserved bytes) the one in flight
// at its offset.
bool
DataStream::FindChunk(const salvorMsgHeader &reply, uint64_t *k)
{
   uint32_t tag;
   std::memcpy(&tag, reply.reserved2, sizeof tag);
   uint64_t named = sealed_ ? base_ + (uint16_t)(tag - (uint32_t)base_)
                            : base_ + (uint32_t)(tag - (uint32_t)base_);
   auto matches = [&](uint64_t i) {
      const Chunk &c = StateOf(i);
      return c.inFlight && (uint32_t)c.offset == reply.dataOffset &&
             c.length == reply.dataLength;
   };
   if (named < next_ && matches(named)) {
      *k = named;
      return true;
   }
   for (uint64_t i = base_; i < next_; i++) {
      if (matches(i)) {
         *k = i;
         return true;
      }
   }
   return false;
}

// The number of the send of chunk c that a reply answers; 0 when it names
// none, or (sealed) one between the first and the last.
uint64_t
DataStream::AnsweredSend(const salvorMsgHeader &reply, const Chunk &c) const
{
   if (!sealed_) {
      return SalvorClientEchoedSendNumber(reply);
   }
   uint32_t tag;
   std::memcpy(&tag, reply.reserved2, sizeof tag);
   uint32_t send = tag >> 16;
   if (send == c.sends && send < SALVOR_SEND_MANY) {
      return c.seq;
   }
   return send == 1 ? c.firstSeq : 0;
}

// A reply to an earlier try of the dump, which the collector lost: it
// names a send before this try's first (plain), or another token (sealed).
bool
DataStream::IsStale(const salvorMsgHeader &reply) const
{
   if (sealed_) {
      static const uint8_t none[8] = {};
      return std::memcmp(reply.reserved1, none, sizeof none) != 0 &&
             std::memcmp(reply.reserved1, target_.token, sizeof none) != 0;
   }
   uint64_t echoed = SalvorClientEchoedSendNumber(reply);
   return echoed != 0 && echoed <= firstSeq_;
}

// Takes the replies waiting on the socket; *gotAny once one acknowledged a chunk.
SalvorResult
DataStream::TakeReplies(bool *gotAny)
{
   const unsigned refusalsToGiveUp = std::max(1u, opts_.refusalsToGiveUp);
   for (;;) {
      size_t len = 0;
      SalvorClientSocket::RecvResult rr = target_.sock.TryRecv(buf_, sizeof buf_, &len, &error_);
      if (rr == SalvorClientSocket::Error) {
         return Failed();
      }
      uint64_t refusals = target_.sock.Refusals() - refusalsAtReply_;
      if (!waiting_ && refusals >= refusalsToGiveUp) {
         Clock::time_point now = Clock::now();
         if (!MayWait(now)) {
            return opts_.wait.count() > 0
                      ? SalvorClientWaitedInVain(target_.serverName, "data", opts_.wait, true)
                      : SalvorClientRefused(target_.serverName, "data",
                                            std::to_string(refusals) + " refusals");
         }
         StartWaiting(now);
      }
      if (rr == SalvorClientSocket::TimedOut) {
         return {};
      }
      if (rr == SalvorClientSocket::Refused) {
         refused_ = true;
         continue;
      }
      salvorMsgHeader reply;
      uint64_t k = 0;
      if (!SalvorClientDecodeReply(buf_, len, SALVOR_MSG_DATA, target_.timestamp, &reply) ||
          reply.dumpID != target_.dumpID || IsStale(reply) || !FindChunk(reply, &k)) {
         continue;  // foreign, or a duplicate reply to a resent message
      }
      target_.lastAnswer = Clock::now();
      if (reply.status != hxk_success) {
         std::string what = SalvorClientIsCreateRefusal(sealed_, reply.status)
                               ? std::string("init")
                               : "data at offset " + std::to_string(reply.dataOffset);
         return SalvorResult::Error(SalvorResult::Refused,
                                    "collector refused the " + what + ": " +
                                       SalvorStatusText(reply.status),
                                    reply.status);
      }
      *gotAny = true;
      Acknowledge(k, AnsweredSend(reply, StateOf(k)));
      if (waiting_) {
         if (SalvorResult res = ResendAfterSilence(); !res) {
            return res;
         }
      }
   }
}

// The collector stopped answering, or refuses, and the wait allows more:
// the window stops sending, and the oldest message probes for it.
void
DataStream::StartWaiting(Clock::time_point now)
{
   waiting_ = true;
   refused_ = false;
   backoff_.Reset();
   nextCheck_ = now + backoff_.Next();
   SalvorClientTellWaiting(opts_, target_.lastAnswer + opts_.wait - now);
}

// While waiting: the oldest message in flight goes again, or the wait
// is over.
SalvorResult
DataStream::Probe(Clock::time_point now)
{
   if (!MayWait(now)) {
      return SalvorClientWaitedInVain(target_.serverName, "data", opts_.wait, refused_);
   }
   Clock::time_point again = now + backoff_.Next();
   for (uint64_t k = base_; k < next_; k++) {
      if (StateOf(k).inFlight) {
         if (!Send(k, false) || !target_.sock.Flush(&error_)) {
            return Failed();
         }
         nextCheck_ = again;
         return {};
      }
   }
   waiting_ = false;  // nothing to ask about: the window goes on
   return {};
}

/*
 * The collector answers again: the window starts small, and the messages
 * that went into the silence go again at once, as none of them was
 * answered; they count as one loss, which the restart of the window has
 * already taken into account.
 */
SalvorResult
DataStream::ResendAfterSilence()
{
   Clock::time_point now = Clock::now();
   waiting_ = false;
   target_.cc.Restart(now);
   SalvorClientNotify(opts_, SalvorNotice::Back, 0, "collector answers again");
   nextCheck_ = Clock::time_point::max();
   for (uint64_t k = base_; k < next_; k++) {
      Chunk &c = StateOf(k);
      if (c.inFlight && !Send(k, false)) {
         return Failed();
      }
   }
   return {};
}

// Chunk k is answered, by the reply to send number `answered` (0: unknown).
void
DataStream::Acknowledge(uint64_t k, uint64_t answered)
{
   Chunk &c = StateOf(k);
   refusalsAtReply_ = target_.sock.Refusals();
   // A reply that names the send it answers measures that send's round
   // trip; one that names none is measured only when the message went
   // once, as it may answer any of its sends.
   bool known = answered >= c.firstSeq && answered <= c.seq;
   Clock::time_point replyAt = Clock::now();
   if (known && c.sends > 1 && answered == c.firstSeq) {
      target_.cc.OnNeedlessResend(c.firstSentAt, replyAt);
   }
   bool measured = known ? answered == c.seq : c.sends == 1;
   target_.cc.OnReply(c.sentAt, replyAt, !measured);
   maxAckedSeq_ = std::max(maxAckedSeq_, known ? answered : c.firstSeq);
   c.inFlight = false;
   c.acked = true;
   inFlight_--;
   ackedBytes_ += c.length;
   if (++acked_ % 256 == 0 && opts_.progress) {
      opts_.progress(ackedBytes_, source_.Size());
   }
   while (base_ < next_ && StateOf(base_).acked) {
      StateOf(base_) = Chunk{};
      base_++;
   }
}

// A message found lost: resent, unless it has had all its attempts.
SalvorResult
DataStream::Resend(uint64_t k, Clock::time_point now, bool timedOut)
{
   Chunk &c = StateOf(k);
   if (c.sends > opts_.retries) {
      if (MayWait(now)) {
         StartWaiting(now);
         return {};
      }
      if (opts_.wait.count() > 0) {
         return SalvorClientWaitedInVain(target_.serverName, "data", opts_.wait, refused_);
      }
      std::string what = "data at offset " + std::to_string(c.offset);
      return SalvorResult::Error(
         SalvorResult::NoAnswer,
         SalvorClientNoAnswer(target_.sock, target_.openedBefore, target_.serverName,
                              what.c_str(), c.sends, refused_));
   }
   unsigned before = target_.cc.Window();
   if (timedOut) {
      target_.cc.OnTimeout(c.sentAt, now);
   } else {
      target_.cc.OnLoss(c.sentAt, now);
   }
   stats_->windowCuts += target_.cc.Window() < before;
   if (!Send(k, false)) {
      return Failed();
   }
   return {};
}

// Messages overtaken by later ones go again now. First sends go out in
// the order of the chunks, so the scan ends at the first one that was not
// overtaken.
SalvorResult
DataStream::ResendOvertaken(Clock::time_point now)
{
   for (uint64_t k = base_; k < next_; k++) {
      Chunk &c = StateOf(k);
      if (!c.inFlight) {
         continue;
      }
      if (c.seq + SalvorCongestion::SALVOR_REORDER_THRESHOLD > maxAckedSeq_) {
         if (c.sends == 1) {
            break;
         }
         continue;
      }
      if (SalvorResult res = Resend(k, now, false); !res || waiting_) {
         return res;
      }
   }
   return {};
}

// One resend per timeout, as TCP does: when the collector was only slow
// for a moment, every message in flight is late at once, and resending
// them all would double its work just when it is behind. The doubled
// timeout then judges the others; those truly lost with it are overtaken
// by the resent one once that is answered, and go again at once.
SalvorResult
DataStream::ResendTimedOut(Clock::time_point now)
{
   if (waiting_) {
      return Probe(now);
   }
   nextCheck_ = Clock::time_point::max();
   bool resentOne = false;
   for (uint64_t k = base_; k < next_; k++) {
      Chunk &c = StateOf(k);
      if (!c.inFlight) {
         continue;
      }
      if (!resentOne && now - c.sentAt >= target_.cc.Timeout(c.sends)) {
         if (SalvorResult res = Resend(k, now, true); !res || waiting_) {
            return res;
         }
         resentOne = true;
      } else {
         nextCheck_ = std::min(nextCheck_, c.sentAt + target_.cc.Timeout(c.sends));
      }
   }
   return {};
}

}  // namespace

SalvorResult
SalvorClient::StreamData(SalvorDumpSource &source, int64_t timestamp, uint32_t dumpID,
                         const SalvorSendOptions &opts, SalvorSendStats *stats)
{
   DataStream stream({sock_, *cc_, serverName_, openedBefore_, timestamp, dumpID,
                      sock_.Sealed() ? token_ : nullptr, sendNumbers_, lastAnswer_},
                     source, opts, stats);
   return stream.Run();
}
