// A collector stand-in for the client tests: a thread answering the dump
// protocol on 127.0.0.1 or ::1 (an ephemeral port), keeping dumps in
// memory, and able to refuse, stay silent, stall, drop replies or send
// them out of order; plain, or sealed with a host's key.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "lib/net/net.h"
#include "protocol/salvorKeys.h"
#include "protocol/salvorProto.h"
#include "tests/support/testUtil.h"

class FakeCollector {
public:
   struct Behaviour {
      uint32_t initStatus = 0;      // status of every init reply
      uint32_t dataStatus = 0;      // status of data replies from `failAtOffset` on
      uint32_t failAtOffset = 0;
      bool silent = false;          // never answer
      unsigned dropEvery = 0;       // drop the reply to every Nth data message
      unsigned swapEvery = 0;       // send every Nth data reply after the next one
      unsigned stallAtData = 0;     // before the Nth data message, stop for stallMs
      unsigned stallMs = 0;
      bool zeroReserved = false;    // answer with the reserved bytes cleared
      uint32_t firstSlot = 5;       // slot numbers handed out start here
      bool ipv6 = false;            // listen on ::1 instead of 127.0.0.1
      // Sealed: only datagrams that open with this key are answered,
      // sealed with it; an init's reply carries a token of its dump that
      // the dump's data and done must carry.
      const SalvorKey *key = nullptr;
      // Sealed: replies are sealed with this key instead.
      const SalvorKey *replyKey = nullptr;
      // Sealed: each reply follows forgeries refusing with
      // hxk_limit_exceeded, one sealed with this key and one plain.
      const SalvorKey *forgeKey = nullptr;
      // Sealed: the status of the replies to a dump's data and done, as
      // when its file cannot be made on the first of them.
      uint32_t createStatus = 0;
      // A collector that stops for a while: from the Nth data message on,
      // nothing is answered for silentMs.
      unsigned silentAtData = 0;
      unsigned silentMs = 0;
      // A collector that stops and starts again: at the Nth data message
      // its socket closes (the port refuses), to open again goneMs later.
      unsigned goneAtData = 0;
      unsigned goneMs = 0;
      // A full collector: the first fullInits inits are refused with
      // hxk_limit_exceeded, with retryHint in the reply's bytes 12..15.
      unsigned fullInits = 0;
      uint32_t retryHint = 0;
      // A collector restarted without its dumps: at the Nth data message
      // (and every Nth after, forgetTimes times in all) it forgets them.
      unsigned forgetAtData = 0;
      unsigned forgetTimes = 1;
   };
   struct Dump {
      uint32_t host;                // source address, host order; 0 over IPv6
      int64_t timestamp;
      std::vector<uint8_t> data;
      bool done = false;
      uint8_t token[8] = {};        // sealed: the token the init's reply gave
   };
   struct Counts {
      unsigned init = 0, data = 0, done = 0, status = 0;
      unsigned unopened = 0;        // sealed: datagrams that did not open
      unsigned badToken = 0;        // sealed: data and done without the dump's token
      unsigned refusedInits = 0;    // inits refused as full
      unsigned forgotten = 0;       // times the dumps were forgotten
   };

   FakeCollector();
   explicit FakeCollector(Behaviour b);
   ~FakeCollector();

   NetAddr Address() const { return addr_; }  // IPv4 only
   std::string Server() const;      // "127.0.0.1:PORT" or "[::1]:PORT"
   std::vector<Dump> Dumps() const;
   Counts Seen() const;

private:
   void Run();
   void Bind();
   void GoAway();
   void InitArrived(const salvorMsgHeader &req, uint32_t host, salvorMsgHeader *rep);
   bool DataArrived(Dump **dump);
   bool Forget(unsigned data);
   void Handle(const uint8_t *buf, size_t len, const NetAddr &src);
   void Reply(const uint8_t *hdr, const NetAddr &to);
   void Forge(const uint8_t *hdr, const NetAddr &to);
   void SendSealed(const SalvorKey &key, const uint8_t *hdr, const NetAddr &to);
   uint32_t HandleData(Dump *dump, const salvorMsgHeader &req, size_t payload,
                       const uint8_t *bytes);

   Behaviour b_;
   testutil::SocketsStarted sockets_;
   NetSocket fd_ = NET_INVALID_SOCKET;
   NetAddr addr_{};
   NetPeer local_{};
   std::atomic<bool> stop_{false};
   bool goneNow_ = false;           // close the socket for goneMs after this request
   std::chrono::steady_clock::time_point silentUntil_{};
   unsigned generation_ = 0;        // of the dumps, for their tokens
   mutable std::mutex mu_;
   std::vector<Dump> dumps_;        // index = slot - firstSlot
   Counts seen_;
   std::vector<uint8_t> held_;      // a data reply kept back to reorder
   NetAddr heldTo_{};
   std::thread thread_;
};
