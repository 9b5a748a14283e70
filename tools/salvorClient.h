// Client side of the dump protocol: one UDP socket to one collector, the
// single-message exchanges (init, done, status check) with retransmission,
// and streaming of a whole dump with a window of data messages in flight;
// plain, or sealed with the host's key.
//
// Used by salvor-send, the throughput benchmark and the tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "protocol/salvorKeys.h"
#include "tools/salvorSocket.h"
#include "tools/salvorSource.h"

// Dumps are addressed by 32-bit offsets, so a dump must stay below 4 GiB.
constexpr uint64_t SALVOR_MAX_DUMP_SIZE = uint64_t{1} << 32;

// Times a dump the collector lost is started again before the client gives up.
constexpr unsigned SALVOR_MAX_RESTARTS = 3;

// What the client tells its user while it waits for the collector.
struct SalvorNotice {
   enum Kind {
      Full,        // the init was refused for want of a slot: retrying in `seconds`
      Silent,      // the collector stopped answering mid-dump: waiting for it
      Back,        // it answers again
      Restarting,  // it lost the dump: starting it again from the beginning
   };
   Kind kind;
   unsigned seconds = 0;
   std::string text;  // for a person, without program name
};

struct SalvorSendOptions {
   // The most data messages in flight. The client starts with fewer and
   // adapts the number to loss (SalvorCongestion).
   unsigned window = 32;
   // Wait before a message is first resent while no round trip has been
   // measured; later waits follow the measured round trip.
   std::chrono::milliseconds timeout{200};
   unsigned retries = 20;                        // resends of one message before giving up
   // Refusals (ICMP port unreachable: nothing listens on the collector's
   // port) without a reply in between that end the exchange at once.
   unsigned refusalsToGiveUp = 3;
   /*
    * Once the collector has answered in this dump, a collector that
    * falls silent or refuses (a restart) is waited for this long since
    * its last answer, probing with a backed-off resend, before the dump
    * fails; an init refused for want of a slot is retried for this long.
    * 0: neither; the retries and refusals above decide alone.
    */
   std::chrono::seconds wait{120};
   // Test aid: this share (0 to 0.5) of the datagrams in each direction is
   // dropped, and as many again delayed behind the next one.
   double testLoss = 0;
   uint32_t testLossSeed = 1;
   std::optional<int64_t> timestamp;             // dump time stamp; default: now in microseconds
   // The host's key: every datagram is sealed with it, and only replies
   // sealed with it count. Null: plain datagrams.
   const SalvorKey *key = nullptr;
   // Called now and then with the bytes acknowledged so far and the total
   // (0 when not known in advance).
   std::function<void(uint64_t acked, uint64_t total)> progress;
   // Called when the client waits for the collector, or starts again.
   std::function<void(const SalvorNotice &)> notice;
};

struct SalvorSendStats {
   uint32_t dumpID = 0;
   int64_t timestamp = 0;
   uint64_t bytes = 0;
   uint64_t datagrams = 0;      // every request sent, retransmissions included
   uint64_t retransmits = 0;
   unsigned windowCuts = 0;     // times a loss halved the window
   unsigned restarts = 0;       // times the dump was started again
   double seconds = 0;          // from the init to the reply to done
};

struct SalvorResult {
   enum Kind { Ok, NoAnswer, Refused, Failed };
   Kind kind = Ok;
   uint32_t status = 0;      // the collector's status when Refused
   std::string message;      // human-readable, without program name

   explicit operator bool() const { return kind == Ok; }
   static SalvorResult Error(Kind kind, std::string message, uint32_t status = 0)
   {
      return SalvorResult{kind, status, std::move(message)};
   }
};

// "hxk_limit_exceeded", or "unknown status 0x..." for a value outside the protocol.
std::string SalvorStatusText(uint32_t status);

/*
 * Loads a host's key file: the keys file of salvorKeysFile.h (readable by
 * its owner alone), holding exactly one key. On a refusal returns false
 * with *why saying why; *out stays empty.
 */
bool SalvorLoadHostKey(const char *path, SalvorKeys *out, std::string *why);

/*
 * How many data messages a client keeps in flight, and how long it waits
 * for a reply before it resends, in the manner of TCP's congestion control
 * (RFC 5681) and retransmission timer (RFC 6298), so that many clients
 * share one collector without driving it into collapse:
 * - the window starts at SALVOR_INITIAL_WINDOW (or the maximum, if
 *   smaller), grows by one per reply up to the slow-start threshold and by
 *   about one per round trip beyond it;
 * - a loss (a timeout, or a message overtaken by later ones) halves it
 *   and sets the threshold there, at most once per round trip (only for a
 *   message sent after the last cut);
 * - the timeout is the smoothed round trip plus four times its variation,
 *   measured on replies to messages sent once, within [SALVOR_MIN_RTO,
 *   SALVOR_MAX_RTO], and doubles with each resend of the same message;
 * - a timeout also doubles the timeout until the next measurement
 *   (Karn's back-off);
 * - a resend found needless (its reply answers an earlier send) undoes
 *   the last cut and measures the earlier send's round trip, so that a
 *   collector that was only slow for a moment leaves the window as it
 *   was and the timeout longer (as TCP's Eifel response does).
 */
class SalvorCongestion {
public:
   using Clock = std::chrono::steady_clock;
   static constexpr unsigned SALVOR_INITIAL_WINDOW = 4;
   static constexpr std::chrono::microseconds SALVOR_MIN_RTO{20000};
   static constexpr std::chrono::microseconds SALVOR_MAX_RTO{2000000};
   // A message is lost, without waiting for its timeout, once a message
   // sent this many sends after it has been answered; fewer would take a
   // message that the network merely delayed behind the next one.
   static constexpr uint64_t SALVOR_REORDER_THRESHOLD = 3;

   SalvorCongestion(unsigned maxWindow, std::chrono::microseconds initialRto);

   unsigned Window() const { return (unsigned)cwnd_; }
   // A reply to a message last sent at sentAt; `resent` when it was sent
   // more than once (its round trip is then ambiguous and not measured).
   void OnReply(Clock::time_point sentAt, Clock::time_point now, bool resent);
   // A message sent at sentAt was found lost at now.
   void OnLoss(Clock::time_point sentAt, Clock::time_point now);
   // A message sent at sentAt timed out at now: a loss, and the back-off.
   void OnTimeout(Clock::time_point sentAt, Clock::time_point now);
   // A reply to a resent message answers its first send, made at
   // firstSentAt: the resend was not needed.
   void OnNeedlessResend(Clock::time_point firstSentAt, Clock::time_point now);
   // The collector answers again after a silence: the window starts small
   // again (as TCP's does after an idle time), the back-off ends, and the
   // messages sent before now cut nothing when found lost.
   void Restart(Clock::time_point now);
   // The wait for a reply to a message sent `sends` times.
   std::chrono::microseconds Timeout(unsigned sends) const;
   std::chrono::microseconds SmoothedRtt() const { return srtt_; }

private:
   double maxWindow_;
   std::chrono::microseconds initialRto_;
   double cwnd_;
   double ssthresh_;
   bool measured_ = false;
   std::chrono::microseconds srtt_{0};
   std::chrono::microseconds rttvar_{0};
   std::chrono::microseconds rto_;
   Clock::time_point lastCut_{};
   double cwndBeforeCut_ = 0;      // 0 once undone
   double ssthreshBeforeCut_ = 0;

   void Measure(std::chrono::microseconds r);
};

class SalvorClient {
public:
   // Opens the socket towards `server`, bound to `from` if given.
   SalvorResult Open(const NetPeer &server, const std::optional<NetPeer> &from = {});
   SalvorResult Open(const NetAddr &server, const std::optional<uint32_t> &from = {});

   // Asks whether the collector is alive; Ok only if it answered with status 0.
   SalvorResult StatusCheck(const SalvorSendOptions &opts);

   // Sends `size` bytes read from `fd` (with pread) as one dump.
   SalvorResult SendDump(int fd, uint64_t size, const SalvorSendOptions &opts,
                         SalvorSendStats *stats);
   // Sends what `source` gives as one dump.
   SalvorResult SendDump(SalvorDumpSource &source, const SalvorSendOptions &opts,
                         SalvorSendStats *stats);

private:
   struct Request;  // one message of an exchange
   void Begin(const SalvorSendOptions &opts);
   SalvorResult Exchange(const Request &request, const SalvorSendOptions &opts,
                         salvorMsgHeader *reply, SalvorSendStats *stats);
   SalvorResult GiveUp(const char *what, unsigned attempts, bool refused, bool refusedEnough,
                       const SalvorSendOptions &opts) const;
   SalvorResult Init(const SalvorSendOptions &opts, SalvorSendStats *stats);
   SalvorResult SendOnce(SalvorDumpSource &source, const SalvorSendOptions &opts,
                         SalvorSendStats *stats);
   SalvorResult StreamData(SalvorDumpSource &source, int64_t timestamp, uint32_t dumpID,
                           const SalvorSendOptions &opts, SalvorSendStats *stats);
   SalvorResult StartAgain(SalvorDumpSource &source, const SalvorResult &lost,
                           const SalvorSendOptions &opts, SalvorSendStats *stats);
   void Drain();
   void Answered() { answered_ = true; lastAnswer_ = std::chrono::steady_clock::now(); }
   bool MayWait(const SalvorSendOptions &opts) const;

   SalvorClientSocket sock_;
   std::string serverName_;
   std::optional<SalvorCongestion> cc_;  // of the exchange under way
   // Sealed: the token the init's reply gave, which every later message
   // of the dump carries.
   uint8_t token_[8] = {};
   uint64_t openedBefore_ = 0;  // the socket's sealed replies before this exchange
   // Whether, and when last, the collector answered in this conversation.
   bool answered_ = false;
   std::chrono::steady_clock::time_point lastAnswer_{};
   // Send numbers go on rising across the tries of one dump, so that a
   // late reply to a try the collector lost is told from a reply to this one.
   uint64_t sendNumbers_ = 0;
};

/*
 * Delays of a retry: exponential from `first`, capped at `cap`, each
 * drawn at random between half and all of its step, so that clients
 * turned away together do not come back together.
 */
class SalvorBackoff {
public:
   SalvorBackoff(std::chrono::milliseconds first, std::chrono::milliseconds cap);
   std::chrono::milliseconds Next();
   // d and up to a quarter more, at random.
   std::chrono::milliseconds Spread(std::chrono::milliseconds d);
   void Reset() { step_ = first_; }

private:
   uint64_t Random();

   std::chrono::milliseconds first_, cap_, step_;
   uint64_t state_;
};
