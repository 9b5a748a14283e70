// Client side of the dump protocol: one UDP socket to one collector, the
// single-message exchanges (init, done, status check) with retransmission,
// and streaming of a whole dump with a window of data messages in flight.
//
// Used by salvor-send, the throughput benchmark and the tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tools/salvorSocket.h"

// Dumps are addressed by 32-bit offsets, so a dump must stay below 4 GiB.
constexpr uint64_t SALVOR_MAX_DUMP_SIZE = uint64_t{1} << 32;

struct SalvorSendOptions {
   unsigned window = 32;                         // data messages in flight
   std::chrono::milliseconds timeout{200};       // before a message is resent
   unsigned retries = 20;                        // resends of one message before giving up
   std::optional<int64_t> timestamp;             // dump time stamp; default: now in microseconds
   // Called now and then with the bytes acknowledged so far and the total.
   std::function<void(uint64_t acked, uint64_t total)> progress;
};

struct SalvorSendStats {
   uint32_t dumpID = 0;
   int64_t timestamp = 0;
   uint64_t bytes = 0;
   uint64_t datagrams = 0;      // every request sent, retransmissions included
   uint64_t retransmits = 0;
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

class SalvorClient {
public:
   // Opens the socket towards `server`, bound to `from` if given.
   SalvorResult Open(const NetAddr &server, const std::optional<uint32_t> &from = {});

   // Asks whether the collector is alive; Ok only if it answered with status 0.
   SalvorResult StatusCheck(const SalvorSendOptions &opts);

   // Sends `size` bytes read from `fd` (with pread) as one dump.
   SalvorResult SendDump(int fd, uint64_t size, const SalvorSendOptions &opts,
                         SalvorSendStats *stats);

private:
   SalvorResult Exchange(uint32_t type, int64_t timestamp, uint32_t dumpID,
                         const SalvorSendOptions &opts, const char *what,
                         uint32_t *assigned, SalvorSendStats *stats);
   SalvorResult StreamData(int fd, uint64_t size, int64_t timestamp, uint32_t dumpID,
                           const SalvorSendOptions &opts, SalvorSendStats *stats);

   SalvorClientSocket sock_;
   std::string serverName_;
};
