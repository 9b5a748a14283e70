// A host speaking the dump protocol to a collector on loopback: each
// request resent until its reply comes, a missing reply failing the test.
// Uses the test framework, so the benchmarks do without it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/testUtil.h"

namespace testutil {

class Host {
public:
   Host(const char *ip, uint16_t port) : peer_(ip), port_(port) {}

   salvorMsgHeader Call(const salvorMsgHeader &hdr, const std::string &payload = "")
   {
      salvorMsgHeader reply{};
      if (!peer_.RequestResent(Encode(hdr, payload), port_, &reply)) {
         ADD_FAILURE() << "no reply";
      }
      return reply;
   }
   // The slot of a new dump, which must be granted.
   uint32_t Init(int64_t ts)
   {
      salvorMsgHeader reply = Call(MakeHeader(SALVOR_MSG_INIT, ts));
      EXPECT_EQ(reply.status, hxk_success);
      return reply.assignedDumpID;
   }
   uint32_t Data(int64_t ts, uint32_t slot, uint32_t offset, const std::string &bytes)
   {
      salvorMsgHeader hdr = MakeHeader(SALVOR_MSG_DATA, ts, slot);
      hdr.dataOffset = offset;
      hdr.dataLength = (uint32_t)bytes.size();
      return Call(hdr, bytes).status;
   }
   uint32_t Done(int64_t ts, uint32_t slot)
   {
      return Call(MakeHeader(SALVOR_MSG_DONE, ts, slot)).status;
   }
   // For what goes past Call: raw datagrams, a window of requests.
   UdpPeer &Peer() { return peer_; }
   uint16_t CollectorPort() const { return port_; }

private:
   UdpPeer peer_;
   uint16_t port_;
};

}  // namespace testutil
