// Checks and replies of single datagrams, as the receive loop hands them on.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "collector/startup/salvorConfig.h"
#include "collector/receive/salvorServer.h"
#include "collector/receive/salvorSlots.h"
#include "collector/receive/salvorHandlers.h"
#include "lib/misc/platFault.h"
#include "tests/support/slotTableTest.h"
#include "tests/support/testFiles.h"

using testutil::Encode;
using testutil::MakeHeader;

namespace {

constexpr uint32_t HOST = 0x0A141E28;  // 10.20.30.40

class Datagram : public testutil::SlotTableTest {
protected:
   // The reply's wire bytes, or an empty vector when none is sent.
   std::vector<uint8_t> Process(const std::vector<uint8_t> &bytes)
   {
      return Process(bytes, bytes.size());
   }
   std::vector<uint8_t> Process(const std::vector<uint8_t> &bytes, size_t length)
   {
      std::vector<uint8_t> reply(SALVOR_HEADER_SIZE);
      if (!SalvorProcessDatagram(bytes.data(), length, HOST, reply.data())) {
         return {};
      }
      return reply;
   }
   static uint32_t Status(const std::vector<uint8_t> &reply)
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
   auto reply = Process(bytes);
   ASSERT_EQ(reply.size(), SALVOR_HEADER_SIZE);
   EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 40, reply.begin()));
   EXPECT_TRUE(std::equal(bytes.begin() + 44, bytes.begin() + 48, reply.begin() + 44));
   EXPECT_EQ(Status(reply), hxk_success);
   EXPECT_TRUE(log.Contains("Posting back a status check reply to 10.20.30.40"));
   EXPECT_FALSE(log.Contains("Posting back a status check reply to 10.20.30.40\n"));
}

TEST_F(Datagram, InitReplyCarriesTheSlot)
{
   salvorMsgHeader req = MakeHeader(SALVOR_MSG_INIT, 9);
   req.assignedDumpID = 0xDEAD;
   auto reply = Process(Encode(req));
   salvorMsgHeader hdr;
   SalvorDecodeHeader(reply.data(), &hdr);
   EXPECT_EQ(hdr.status, hxk_success);
   EXPECT_EQ(hdr.assignedDumpID, 0u);
}

TEST_F(Datagram, UnknownTypesAreAnsweredWithUnknownType)
{
   for (uint32_t type : {0u, 3u, 4u, 5u, 8u, 0xFFFFFFFFu}) {
      auto reply = Process(Encode(MakeHeader(type)));
      ASSERT_EQ(reply.size(), SALVOR_HEADER_SIZE) << type;
      EXPECT_EQ(Status(reply), hxk_unknown_type) << type;
   }
   EXPECT_TRUE(log.Contains("ip:a141e28)Unknown message type:3\n"));
}

TEST_F(Datagram, MalformedDatagramsGetNoReply)
{
   salvorMsgHeader bad = MakeHeader(SALVOR_MSG_STATUS_CHECK);
   bad.magic = 0x12345678;
   EXPECT_TRUE(Process(Encode(bad)).empty());
   EXPECT_TRUE(log.Contains("Bad magic:0x12345678. Expected:0xadeca1bf\nSkipping bad packet.\n"));

   auto good = Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK));
   EXPECT_TRUE(Process(good, 0).empty());
   EXPECT_TRUE(Process(good, 47).empty());
   EXPECT_TRUE(log.Contains("Datagram of 47 bytes is shorter than a header."));

   auto big = Encode(MakeHeader(SALVOR_MSG_DATA), std::string(1600, 'x'));
   EXPECT_TRUE(Process(big).empty());
   EXPECT_TRUE(log.Contains("Datagram of 1648 bytes is longer than 1600."));
}

TEST_F(Datagram, LargestDataMessageCarries1552Bytes)
{
   Process(Encode(MakeHeader(SALVOR_MSG_INIT, 1)));
   salvorMsgHeader req = MakeHeader(SALVOR_MSG_DATA, 1, 0);
   req.dataLength = 1552;
   auto reply = Process(Encode(req, std::string(1552, 'q')));
   EXPECT_EQ(Status(reply), hxk_success);
   EXPECT_TRUE(FileIO_IsValid(&salvorSlots[0].fd));
}

TEST_F(Datagram, VerboseDebugLineOncePerMiBOfDataStream)
{
   SalvorConfig.verbose = 1;
   Process(Encode(MakeHeader(SALVOR_MSG_INIT, 1)));
   EXPECT_EQ(log.Count("ip:a141e28)msg: type=1 len=48 dataOffset=0 dataLength=0 kB=0 MB=0\n"), 1u);
   auto sendData = [&](uint32_t offset) {
      salvorMsgHeader req = MakeHeader(SALVOR_MSG_DATA, 1, 0);
      req.dataOffset = offset;
      req.dataLength = 1000;
      Process(Encode(req, std::string(1000, 'd')));
   };
   for (uint32_t off = 0; off < (3u << 20); off += 256 * 1024) {
      sendData(off);
   }
   EXPECT_EQ(log.Count("msg: type=2"), 2u) << "one line at 1 MiB and one at 2 MiB";
   EXPECT_TRUE(log.Contains("msg: type=2 len=1048 dataOffset=1048576 dataLength=1000 kB=1025 MB=1\n"));
   sendData(1u << 20);
   EXPECT_EQ(log.Count("msg: type=2"), 2u) << "a lower MiB logs nothing";
   EXPECT_TRUE(log.Contains("ip:a141e28)Sending reply with status 0\n"));
   EXPECT_TRUE(log.Contains("ip:a141e28)msg type: 'init'.\n"));
   EXPECT_TRUE(log.Contains("ip:a141e28)Wrote 1000 bytes to file @ 0 ("));
}

// A batch as the loop receives it: datagrams from several hosts, handled
// in order, contiguous data of one dump written with one call.
class Batch : public testutil::SlotTableTest {
protected:
   void Add(uint32_t ip, const salvorMsgHeader &hdr, const std::string &payload = "")
   {
      std::vector<uint8_t> bytes = Encode(hdr, payload);
      int i = count++;
      std::memcpy(batch->bufs[i], bytes.data(), bytes.size());
      batch->in[i] = NetDatagram{batch->bufs[i], SALVOR_RECV_BUFFER_SIZE, bytes.size(),
                                 NetAddr{ip, (uint16_t)(1000 + i)}};
   }
   void AddData(uint32_t ip, int64_t ts, uint32_t slot, uint32_t offset, const std::string &bytes)
   {
      salvorMsgHeader hdr = MakeHeader(SALVOR_MSG_DATA, ts, slot);
      hdr.dataOffset = offset;
      hdr.dataLength = (uint32_t)bytes.size();
      Add(ip, hdr, bytes);
   }
   /*
    * Runs the batch; returns the replies with the port each goes to.
    * Faults armed beforehand, and the count of writes, concern the dump
    * files alone (those of `only`, if set): what the log writes meanwhile
    * neither counts nor takes a fault.
    */
   std::vector<std::pair<uint16_t, salvorMsgHeader>> run()
   {
      std::vector<intptr_t> files = only;
      for (int i = 0; only.empty() && i < SALVOR_MAX_DUMPS; i++) {
         if (SalvorSlotInUse(&salvorSlots[i]) && files.size() < PLAT_FAULT_MAX_HANDLES) {
            files.push_back(salvorSlots[i].fd.handle);
         }
      }
      static int writes;
      writes = 0;
      PlatFault_LimitTo(files.data(), files.size());
      PlatFault_SetObserver([](PlatCall call) { writes += call == PLAT_WRITE; });
      SalvorProcessBatch(batch.get(), count, scratch.get());
      PlatFault_SetObserver(nullptr);
      PlatFault_LimitTo(nullptr, 0);
      writeCalls = writes;
      std::vector<std::pair<uint16_t, salvorMsgHeader>> replies;
      for (int i = 0; i < batch->outCount; i++) {
         EXPECT_EQ(batch->out[i].length, SALVOR_HEADER_SIZE);
         salvorMsgHeader hdr;
         SalvorDecodeHeader(static_cast<const uint8_t *>(batch->out[i].buf), &hdr);
         replies.emplace_back(batch->out[i].to.port, hdr);
      }
      count = 0;
      return replies;
   }
   uint32_t Init(uint32_t ip, int64_t ts)
   {
      salvorMsgHeader req = MakeHeader(SALVOR_MSG_INIT, ts);
      salvorMsgHeader reply = req;
      SalvorHandleInit(&reply, dataDir.Path().c_str(), ip, &req);
      EXPECT_EQ(reply.status, hxk_success);
      return reply.assignedDumpID;
   }

   std::unique_ptr<SalvorBatch> batch{new SalvorBatch};
   std::unique_ptr<SalvorPendingWrites> scratch{new SalvorPendingWrites};
   int count = 0;
   int writeCalls = 0;
   std::vector<intptr_t> only;
};

constexpr uint32_t OTHER = 0x0A141E29;  // 10.20.30.41

TEST_F(Batch, RequestsAreHandledInOrderAndContiguousDataIsWrittenAtOnce)
{
   uint32_t a = Init(HOST, 1);
   uint32_t b = Init(OTHER, 2);
   std::string pa = salvorSlots[a].fileName;
   std::string pb = salvorSlots[b].fileName;
   std::string p0(1552, 'a'), p1(1552, 'b'), p2(700, 'c'), q0(100, 'x'), p3(10, 'd');
   AddData(HOST, 1, a, 0, p0);          // a run of three
   AddData(HOST, 1, a, 1552, p1);
   AddData(HOST, 1, a, 3104, p2);
   AddData(OTHER, 2, b, 0, q0);         // another dump: a run of its own
   AddData(HOST, 1, a, 3804, p3);       // still the first run
   auto replies = run();
   EXPECT_EQ(writeCalls, 2) << "one write per dump's run of contiguous data";

   AddData(HOST, 1, a, 3814, "e");
   Add(HOST, MakeHeader(SALVOR_MSG_STATUS_CHECK));
   Add(HOST, MakeHeader(SALVOR_MSG_DONE, 1, a));
   AddData(HOST, 1, a, 3815, "late");   // its dump is finished: refused
   for (auto &r : run()) {
      r.first += 5;
      replies.push_back(r);
   }
   ASSERT_EQ(replies.size(), 9u);
   const uint32_t want[] = {hxk_success, hxk_success, hxk_success, hxk_success, hxk_success,
                            hxk_success, hxk_success, hxk_success, hxk_invalid_dump};
   for (size_t i = 0; i < replies.size(); i++) {
      EXPECT_EQ(replies[i].first, 1000 + i) << "each reply goes to its request's source";
      EXPECT_EQ(replies[i].second.status, want[i]) << "reply " << i;
   }
   EXPECT_EQ(replies[2].second.dataOffset, 3104u);
   EXPECT_EQ(replies[7].second.type, (uint32_t)SALVOR_MSG_DONE);
   EXPECT_EQ(testutil::ReadFile(pa), p0 + p1 + p2 + p3 + "e");
   EXPECT_EQ(testutil::ReadFile(pb), q0);
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[a]));
}

TEST_F(Batch, InterleavedDumpsKeepTheirOwnOrderOnDisk)
{
   uint32_t a = Init(HOST, 1);
   uint32_t b = Init(OTHER, 2);
   std::string pa = salvorSlots[a].fileName;
   std::string pb = salvorSlots[b].fileName;
   AddData(HOST, 1, a, 0, "aaaa");
   AddData(OTHER, 2, b, 0, "x");
   AddData(HOST, 1, a, 4, "bbbb");
   AddData(OTHER, 2, b, 1, "y");
   AddData(HOST, 1, a, 0, "AAAA");  // a resend: lands after the first copy
   AddData(OTHER, 2, b, 2, "z");
   AddData(HOST, 1, a, 8, "cc");    // a gap after the resend: a run of its own
   auto replies = run();
   ASSERT_EQ(replies.size(), 7u);
   for (size_t i = 0; i < replies.size(); i++) {
      EXPECT_EQ(replies[i].first, 1000 + i) << "replies keep the order of the requests";
      EXPECT_EQ(replies[i].second.status, hxk_success) << i;
   }
   EXPECT_EQ(writeCalls, 4) << "one per run: the resend and the gap each begin one";
   EXPECT_EQ(testutil::ReadFile(pa), "AAAAbbbbcc");
   EXPECT_EQ(testutil::ReadFile(pb), "xyz");
}

TEST_F(Batch, ShortOrFailedWriteOfARunIsAnsweredPerMessage)
{
   uint32_t a = Init(HOST, 1);
   std::string path = salvorSlots[a].fileName;
   std::string p0(1552, 'a'), p1(1552, 'b'), p2(1552, 'c');
   // The disk takes the first message and part of the second, then
   // nothing more this time: the rest is written again on its own.
   PlatFault_Inject(PLAT_WRITE, ENOSPC, 0, 1, 1552 + 100);
   AddData(HOST, 1, a, 0, p0);
   AddData(HOST, 1, a, 1552, p1);
   AddData(HOST, 1, a, 3104, p2);
   auto replies = run();
   ASSERT_EQ(replies.size(), 3u);
   for (auto &r : replies) {
      EXPECT_EQ(r.second.status, hxk_success);
   }
   EXPECT_EQ(testutil::ReadFile(path), p0 + p1 + p2);

   // A full disk: every message of the run fails.
   PlatFault_Inject(PLAT_WRITE, ENOSPC, 0, -1);
   AddData(HOST, 1, a, 4656, p0);
   AddData(HOST, 1, a, 6208, p1);
   replies = run();
   PlatFault_Clear();
   ASSERT_EQ(replies.size(), 2u);
   EXPECT_EQ(replies[0].second.status, hxk_write_failed);
   EXPECT_EQ(replies[1].second.status, hxk_write_failed);
}

// Whatever the batching, the lines come out as if every datagram had been
// handled on its own, in the order they arrived.
TEST_F(Batch, LinesComeOutInTheOrderTheDatagramsArrived)
{
   uint32_t a = Init(HOST, 1);
   uint32_t b = Init(OTHER, 2);
   std::string pa = salvorSlots[a].fileName;
   std::string pb = salvorSlots[b].fileName;
   PlatFault_Inject(PLAT_WRITE, ENOSPC, 0, -1);  // both disks are full
   AddData(HOST, 1, a, 0, "a0");
   AddData(OTHER, 2, b, 0, "b0");
   AddData(HOST, 1, a, 2, "a1");
   salvorMsgHeader bad = MakeHeader(SALVOR_MSG_DATA, 2, b);
   bad.magic = 0x12345678;
   Add(OTHER, bad);
   AddData(OTHER, 2, b, 2, "b1");
   AddData(HOST, 1, 999, 4, "no such dump");
   AddData(OTHER, 2, b, 4, "b2");
   AddData(HOST, 1, a, 0, "a0");
   AddData(HOST, 1, a, 0, "a0");  // a resend: the earlier run is written first
   auto replies = run();
   ASSERT_EQ(replies.size(), 8u);
   for (size_t i = 0; i < replies.size(); i++) {
      EXPECT_EQ(replies[i].second.status, i == 4 ? hxk_invalid_dump : hxk_write_failed) << i;
   }
   std::string text = log.Text();
   std::vector<std::string> order;
   for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      std::string line = text.substr(at, end - at);
      at = end == std::string::npos ? text.size() : end + 1;
      if (line.find("Error: did not write full buffer") != std::string::npos) {
         order.push_back(line.find(pa) != std::string::npos ? "a" : "b");
      } else if (line.find("Bad magic") != std::string::npos) {
         order.push_back("magic");
      } else if (line.find("Invalid IP for slot") != std::string::npos) {
         order.push_back("no dump");
      }
   }
   EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "a", "magic", "b", "no dump", "b", "a", "a"}))
      << text;
}

TEST_F(Batch, WriteFailuresNameTheirCause)
{
   uint32_t a = Init(HOST, 1);
   PlatFault_Inject(PLAT_WRITE, ENOSPC, 0, -1);
   AddData(HOST, 1, a, 0, "abc");
   AddData(HOST, 1, a, 3, "def");
   run();
   EXPECT_EQ(log.Count("Tried to write 3 bytes. Only 0 written (No space left on device).\n"),
             2u);
}

TEST_F(Batch, MalformedDatagramsInABatchGetNoReplyAndSpoilNoData)
{
   uint32_t a = Init(HOST, 1);
   std::string path = salvorSlots[a].fileName;
   AddData(HOST, 1, a, 0, "abc");
   salvorMsgHeader bad = MakeHeader(SALVOR_MSG_DATA, 1, a);
   bad.magic = 0x12345678;
   Add(OTHER, bad);
   salvorMsgHeader tooLong = MakeHeader(SALVOR_MSG_DATA, 1, a);
   tooLong.dataOffset = 3;
   tooLong.dataLength = 5;  // more than the payload
   Add(HOST, tooLong, "de");
   AddData(HOST, 1, a, 3, "def");
   auto replies = run();
   ASSERT_EQ(replies.size(), 3u);
   EXPECT_EQ(replies[0].second.status, hxk_success);
   EXPECT_EQ(replies[1].first, 1002) << "the datagram with the wrong magic is not answered";
   EXPECT_EQ(replies[1].second.status, hxk_write_failed);
   EXPECT_EQ(replies[2].second.status, hxk_success);
   EXPECT_EQ(testutil::ReadFile(path), "abcdef");
   EXPECT_TRUE(log.Contains("Bad magic:0x12345678. Expected:0xadeca1bf\nSkipping bad packet.\n"));
   EXPECT_TRUE(log.Contains("dataLength (5) bigger than it should be (2).\n"));
}

}  // namespace
