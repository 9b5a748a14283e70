// The client tools' socket: a connected, non-blocking UDP socket on the
// project's socket layer (lib/net), owned RAII-style, which seals what it
// sends and opens what it receives when given a host's key; and the
// address helpers of the client tools.
#pragma once

#include <chrono>
#include <memory>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lib/net/net.h"
#include "protocol/salvorKeys.h"

// Parses "HOST:PORT" or "HOST" (port `defaultPort`); HOST may be a name,
// a dotted quad or an IPv6 address, in brackets when a port follows
// ("[::1]:6500").
bool SalvorParseServer(const std::string &text, uint16_t defaultPort, NetPeer *out,
                       std::string *error);
// Parses a local address to send from (IPv4 or IPv6, any port).
bool SalvorParseSource(const std::string &text, NetPeer *out, std::string *error);
// "127.0.0.1:6500", "[::1]:6500".
std::string SalvorFormatAddress(const NetAddr &addr);
std::string SalvorFormatPeer(const NetPeer &peer);

// A write to a closed pipe (stderr read by a program that ended) fails
// with an error instead of ending the process.
void SalvorIgnoreBrokenPipe();

class SalvorClientSocket {
public:
   enum RecvResult { Received, TimedOut, Refused, Error };

   SalvorClientSocket();
   SalvorClientSocket(const SalvorClientSocket &) = delete;
   SalvorClientSocket &operator=(const SalvorClientSocket &) = delete;
   ~SalvorClientSocket();

   // Creates the socket, binds it to `from` (any port) if given and connects
   // it to `server`, so that only the server's datagrams are received.
   bool Open(const NetPeer &server, const std::optional<NetPeer> &from, std::string *error);
   void Close();

   /*
    * From now on every datagram queued is sealed with `key` (which must
    * outlive its use here), and only datagrams that open with it are
    * received: any other is dropped as if lost. Null: plain datagrams.
    */
   void SetKey(const SalvorKey *key) { key_ = key; }
   bool Sealed() const { return key_ != nullptr; }
   // Sealed datagrams received that opened with the key, so far.
   uint64_t Opened() const { return opened_; }

   // Sends one datagram, after any queued ones. An ICMP refusal from an
   // earlier datagram may surface here; it is not an error for the caller,
   // who will time out and resend.
   bool Send(const void *buf, size_t len, std::string *error);
   // Queues a plain datagram (at most SALVOR_RECV_BUFFER_SIZE bytes) to go
   // out with the next Flush, sealed if there is a key; a full queue goes
   // out at once.
   bool Queue(const void *buf, size_t len, std::string *error);
   // Sends the queued datagrams in order, with as few system calls as the
   // platform allows.
   bool Flush(std::string *error);

   /*
    * Receives one datagram if one is waiting, without blocking (with a
    * key: the plain datagram of the next one that opens). Datagrams
    * are taken from the socket a batch at a time; when the last batch
    * found the socket empty, the call after it reports TimedOut without
    * asking the socket again.
    */
   RecvResult TryRecv(void *buf, size_t cap, size_t *len, std::string *error);
   // Waits until a datagram can be read or `wait` has passed.
   RecvResult Wait(std::chrono::nanoseconds wait, std::string *error);
   // Refusals (ICMP port unreachable) seen so far, by sends and receives.
   uint64_t Refusals() const { return refusals_; }

   /*
    * Test aid: of the datagrams sent and received from now on, `share`
    * (0 to 0.5) are dropped and as many again held back until the next
    * one has passed, as a lossy network that reorders would. 0 turns it
    * off. The choice is pseudo-random from `seed`.
    */
   void SetTestLoss(double share, uint32_t seed);

private:
   enum ShimFate { Pass, Drop, Delay };
   ShimFate Fate();

   static constexpr int BATCH = 32;
   struct Batches;  // the queued and the received datagrams
   bool SendQueued(std::string *error);
   bool Add(const void *buf, size_t len, std::string *error);
   bool Deliver(const uint8_t *datagram, size_t n, void *buf, size_t cap, size_t *len);

   NetSocket sock_ = NET_INVALID_SOCKET;
   uint64_t refusals_ = 0;
   const SalvorKey *key_ = nullptr;
   uint64_t opened_ = 0;
   std::unique_ptr<Batches> batches_;
   double loss_ = 0;
   uint64_t lossState_ = 0;
   std::vector<uint8_t> heldSend_;     // a sent datagram held back
   std::vector<uint8_t> heldRecv_;     // a received datagram held back
   bool heldRecvDue_ = false;          // another has passed it: deliver it next
};
