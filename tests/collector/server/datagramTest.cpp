// Checks and replies of single datagrams, as the receive loop hands them on.
#include <cstring>
#include <gtest/gtest.h>

#include "collector/startup/salvorConfig.h"
#include "collector/server/salvorServer.h"
#include "collector/server/salvorSlots.h"
#include "tests/support/slotTableTest.h"

using testutil::Encode;
using testutil::MakeHeader;

namespace {

constexpr uint32_t HOST = 0x0A141E28;  // 10.20.30.40

class Datagram : public testutil::SlotTableTest {
protected:
   // The reply's wire bytes, or an empty vector when none is sent.
   std::vector<uint8_t> process(const std::vector<uint8_t> &bytes)
   {
      return process(bytes, bytes.size());
   }
   std::vector<uint8_t> process(const std::vector<uint8_t> &bytes, size_t length)
   {
      std::vector<uint8_t> reply(SALVOR_HEADER_SIZE);
      if (!SalvorProcessDatagram(bytes.data(), length, HOST, reply.data())) {
         return {};
      }
      return reply;
   }
   static uint32_t status(const std::vector<uint8_t> &reply)
   {
      salvorMsgHeader hdr;
      SalvorDecodeHeader(reply.data(), &hdr);
      return hdr.status;
   }
};

TEST_F(Datagram, MagicIsLittleEndianOnTheWire)
{
   auto bytes = Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK));
   EXPECT_EQ(bytes[8], 0xBF);
   EXPECT_EQ(bytes[9], 0xA1);
   EXPECT_EQ(bytes[10], 0xEC);
   EXPECT_EQ(bytes[11], 0xAD);
}

TEST_F(Datagram, ReplyEchoesTheRequestHeaderWithItsStatus)
{
   salvorMsgHeader req = MakeHeader(SALVOR_MSG_STATUS_CHECK, -5, 77);
   std::memcpy(req.reserved1, "ABCDEFGH", 8);
   std::memcpy(req.reserved2, "wxyz", 4);
   req.dataOffset = 123;
   req.dataLength = 456;
   req.status = 0xFFFFFFFF;
   req.assignedDumpID = 0xCAFE;
   auto bytes = Encode(req);
   auto reply = process(bytes);
   ASSERT_EQ(reply.size(), SALVOR_HEADER_SIZE);
   EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 40, reply.begin()));
   EXPECT_TRUE(std::equal(bytes.begin() + 44, bytes.begin() + 48, reply.begin() + 44));
   EXPECT_EQ(status(reply), hxk_success);
   EXPECT_TRUE(log.contains("Posting back a status check reply to 10.20.30.40"));
   EXPECT_FALSE(log.contains("Posting back a status check reply to 10.20.30.40\n"));
}

TEST_F(Datagram, InitReplyCarriesTheSlot)
{
   salvorMsgHeader req = MakeHeader(SALVOR_MSG_INIT, 9);
   req.assignedDumpID = 0xDEAD;
   auto reply = process(Encode(req));
   salvorMsgHeader hdr;
   SalvorDecodeHeader(reply.data(), &hdr);
   EXPECT_EQ(hdr.status, hxk_success);
   EXPECT_EQ(hdr.assignedDumpID, 0u);
}

TEST_F(Datagram, UnknownTypesAreAnsweredWithUnknownType)
{
   for (uint32_t type : {0u, 3u, 4u, 5u, 8u, 0xFFFFFFFFu}) {
      auto reply = process(Encode(MakeHeader(type)));
      ASSERT_EQ(reply.size(), SALVOR_HEADER_SIZE) << type;
      EXPECT_EQ(status(reply), hxk_unknown_type) << type;
   }
   EXPECT_TRUE(log.contains("ip:a141e28)Unknown message type:3\n"));
}

TEST_F(Datagram, MalformedDatagramsGetNoReply)
{
   salvorMsgHeader bad = MakeHeader(SALVOR_MSG_STATUS_CHECK);
   bad.magic = 0x12345678;
   EXPECT_TRUE(process(Encode(bad)).empty());
   EXPECT_TRUE(log.contains("Bad magic:0x12345678. Expected:0xadeca1bf\nSkipping bad packet.\n"));

   auto good = Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK));
   EXPECT_TRUE(process(good, 0).empty());
   EXPECT_TRUE(process(good, 47).empty());
   EXPECT_TRUE(log.contains("Datagram of 47 bytes is shorter than a header."));

   auto big = Encode(MakeHeader(SALVOR_MSG_DATA), std::string(1600, 'x'));
   EXPECT_TRUE(process(big).empty());
   EXPECT_TRUE(log.contains("Datagram of 1648 bytes is longer than 1600."));
}

TEST_F(Datagram, LargestDataMessageCarries1552Bytes)
{
   process(Encode(MakeHeader(SALVOR_MSG_INIT, 1)));
   salvorMsgHeader req = MakeHeader(SALVOR_MSG_DATA, 1, 0);
   req.dataLength = 1552;
   auto reply = process(Encode(req, std::string(1552, 'q')));
   EXPECT_EQ(status(reply), hxk_success);
   EXPECT_EQ(salvorSlots[0].fd.handle != FILEPLAT_INVALID_HANDLE, true);
}

TEST_F(Datagram, VerboseDebugLineOncePerMiBOfDataStream)
{
   SalvorConfig.verbose = 1;
   process(Encode(MakeHeader(SALVOR_MSG_INIT, 1)));
   EXPECT_EQ(log.count("ip:a141e28)msg: type=1 len=48 dataOffset=0 dataLength=0 kB=0 MB=0\n"), 1u);
   auto sendData = [&](uint32_t offset) {
      salvorMsgHeader req = MakeHeader(SALVOR_MSG_DATA, 1, 0);
      req.dataOffset = offset;
      req.dataLength = 1000;
      process(Encode(req, std::string(1000, 'd')));
   };
   for (uint32_t off = 0; off < (3u << 20); off += 256 * 1024) {
      sendData(off);
   }
   EXPECT_EQ(log.count("msg: type=2"), 2u) << "one line at 1 MiB and one at 2 MiB";
   EXPECT_TRUE(log.contains("msg: type=2 len=1048 dataOffset=1048576 dataLength=1000 kB=1025 MB=1\n"));
   sendData(1u << 20);
   EXPECT_EQ(log.count("msg: type=2"), 2u) << "a lower MiB logs nothing";
   EXPECT_TRUE(log.contains("ip:a141e28)Sending reply with status 0\n"));
   EXPECT_TRUE(log.contains("ip:a141e28)msg type: 'init'.\n"));
   EXPECT_TRUE(log.contains("ip:a141e28)Wrote 1000 bytes to file @ 0 ("));
}

}  // namespace
