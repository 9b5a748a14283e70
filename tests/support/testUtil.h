// Helpers shared by the collector tests: protocol requests and a UDP
// peer on a loopback address. The captured log is in testLog.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/salvorProto.h"
#include "tests/support/testFiles.h"

namespace testutil {

// A header with the magic set and the given type, time stamp and slot.
salvorMsgHeader MakeHeader(uint32_t type, int64_t timestamp = 0, uint32_t dumpID = 0);
// The wire bytes of a request: the header followed by the payload.
std::vector<uint8_t> Encode(const salvorMsgHeader &hdr, const std::string &payload = "");

/*
 * Holds the socket library started while it lives (Windows needs it
 * before any socket or look-up; elsewhere nothing happens). Each user of
 * sockets in a test holds its own, so that none outlives the code under
 * test stopping the library, as that code must not rely on another start.
 */
class SocketsStarted {
public:
   SocketsStarted();
   ~SocketsStarted();
   SocketsStarted(const SocketsStarted &) = delete;
   SocketsStarted &operator=(const SocketsStarted &) = delete;

private:
   bool started_;
};

// A UDP socket bound to a loopback address, for playing one host.
class UdpPeer {
public:
   explicit UdpPeer(const char *bindIp = "127.0.0.1");
   ~UdpPeer();
   UdpPeer(const UdpPeer &) = delete;
   UdpPeer &operator=(const UdpPeer &) = delete;
   void SendTo(const std::vector<uint8_t> &bytes, uint16_t port, const char *ip = "127.0.0.1");
   // One reply, or an empty vector when none came within timeoutMs.
   std::vector<uint8_t> Receive(int timeoutMs = 3000);
   // Sends a request and decodes its reply; false when none came.
   bool Request(const std::vector<uint8_t> &bytes, uint16_t port, salvorMsgHeader *reply,
                int timeoutMs = 3000);
   // Request, resent up to `tries` times while no reply comes.
   bool RequestResent(const std::vector<uint8_t> &bytes, uint16_t port, salvorMsgHeader *reply,
                      int tries = 20, int timeoutMs = 500);
   uint16_t Port() const { return port_; }

private:
   SocketsStarted sockets_;
   int fd_;  // a NetSocket
   uint16_t port_;
};

// A UDP port that is free on loopback right now.
uint16_t FreeUdpPort();

}  // namespace testutil
