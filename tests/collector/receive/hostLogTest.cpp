// The per-host limits of the collector's lines, and the allowFrom
// refusals, on a clock the test moves; through the handlers and the batch
// as the loop drives them.
#include <gtest/gtest.h>
#include <string>

#include "collector/operations/salvorAllow.h"
#include "collector/receive/salvorHandlers.h"
#include "collector/receive/salvorHostLog.h"
#include "collector/receive/salvorServer.h"
#include "collector/startup/salvorNetConfig.h"
#include "lib/misc/clock.h"
#include "tests/support/slotTableTest.h"

using testutil::MakeHeader;

namespace {

constexpr uint32_t FLOODER = 0x0A000002;  // 10.0.0.2
constexpr uint32_t QUIET = 0x0A000003;    // 10.0.0.3

uint64_t fakeNow = 5000000000;
uint64_t FakeClock() { return fakeNow; }

NetIp
Ip(const char *text)
{
   NetIp ip{};
   EXPECT_TRUE(Net_ParseIp(text, &ip)) << text;
   return ip;
}

class HostLines : public testutil::SlotTableTest {
protected:
   void SetUp() override
   {
      SalvorClockUsec = FakeClock;
      SlotTableTest::SetUp();
      SalvorHostLogReset();
      SalvorRefusedReset();
   }
   void TearDown() override
   {
      SlotTableTest::TearDown();
      SalvorClockUsec = Clock_MonotonicUsec;
   }
   // A data message for a slot the host does not hold: one line each.
   uint32_t Stray(const NetIp &ip)
   {
      salvorMsgHeader req = MakeHeader(SALVOR_MSG_DATA, 9, 5000);
      salvorMsgHeader reply = req;
      SalvorHandleData(&req, nullptr, ip, SALVOR_HEADER_SIZE, &reply);
      return reply.status;
   }
};

TEST_F(HostLines, FloodingHostGetsTenLinesASecondAndOneSummaryPerQuietSpell)
{
   for (int i = 0; i < 25; i++) {
      EXPECT_EQ(Stray(FLOODER), hxk_invalid_dump) << "limits lines, never answers";
   }
   EXPECT_EQ(log.Count("ip:a000002)Invalid dumpID 5000"), 10u);
   // Another host is not held back by the first one's flood.
   Stray(QUIET);
   EXPECT_EQ(log.Count("ip:a000003)Invalid dumpID 5000"), 1u);
   EXPECT_FALSE(log.Contains("Suppressed"));

   fakeNow += 999999;
   SalvorHostLogFlush();
   EXPECT_FALSE(log.Contains("Suppressed")) << "the spell lasts the second";
   fakeNow += 1;
   Stray(FLOODER);  // the next line ends the spell first
   EXPECT_EQ(log.Count("Suppressed 15 lines about 10.0.0.2\n"), 1u);
   EXPECT_EQ(log.Count("ip:a000002)Invalid dumpID 5000"), 11u);

   for (int i = 0; i < 12; i++) {
      Stray(FLOODER);
   }
   fakeNow += 1000000;
   SalvorHostLogFlush();  // a flood that stops still has its spell reported
   EXPECT_EQ(log.Count("Suppressed 3 lines about 10.0.0.2\n"), 1u);
   SalvorHostLogFlush();
   EXPECT_EQ(log.Count("Suppressed"), 2u) << "once per spell";
}

TEST_F(HostLines, IPv6HostsAreLimitedByTheirFullAddressAndNamedInTheirTextForm)
{
   NetIp a = Ip("2001:db8::1"), b = Ip("2001:db8::2");
   for (int i = 0; i < 11; i++) {
      Stray(a);
   }
   Stray(b);
   EXPECT_EQ(log.Count("ip:20010db8000000000000000000000001)Invalid dumpID"), 10u);
   EXPECT_EQ(log.Count("ip:20010db8000000000000000000000002)Invalid dumpID"), 1u);
   fakeNow += 1000000;
   SalvorHostLogFlush();
   EXPECT_TRUE(log.Contains("Suppressed 1 lines about 2001:db8::1\n"));
}

// More hosts than the table holds at once share one more entry: the
// lines stay bounded however many addresses a flood comes from.
TEST_F(HostLines, HostsBeyondTheTableShareOneLimit)
{
   for (int h = 0; h < SALVOR_HOST_LOG_TABLE + 30; h++) {
      for (int i = 0; i < 2; i++) {
         Stray(NetIp(0x0B000000u + (uint32_t)h));
      }
   }
   EXPECT_EQ(log.Count("Invalid dumpID"), (size_t)(2 * SALVOR_HOST_LOG_TABLE + 10));
   fakeNow += 1000000;
   SalvorHostLogFlush();
   EXPECT_TRUE(log.Contains("Suppressed 50 lines about other addresses\n"));
   // Entries whose second is over are free again.
   Stray(NetIp(0x0C000001u));
   EXPECT_TRUE(log.Contains("ip:c000001)Invalid dumpID"));
}

class Refusals : public HostLines {
protected:
   void SetUp() override
   {
      HostLines::SetUp();
      NetNetwork net;
      const char *why;
      ASSERT_TRUE(Net_ParseNetwork("10.0.0.0/24", &net, &why));
      SalvorNetConfig.allow[0] = net;
      ASSERT_TRUE(Net_ParseNetwork("2001:db8::/32", &net, &why));
      SalvorNetConfig.allow[1] = net;
      SalvorNetConfig.allowCount = 2;
   }
   void TearDown() override
   {
      SalvorNetConfigReset();
      HostLines::TearDown();
   }
   // A status check through the loop's datagram path: whether it was answered.
   bool Answered(const NetIp &ip)
   {
      std::vector<uint8_t> wire = testutil::Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK));
      uint8_t reply[SALVOR_HEADER_SIZE];
      return SalvorProcessDatagram(wire.data(), wire.size(), ip, reply);
   }
};

TEST_F(Refusals, OthersGetNoReplyAndAreLoggedOnceAMinuteWithTheirCount)
{
   EXPECT_TRUE(Answered(NetIp(0x0A0000FEu)));
   EXPECT_TRUE(Answered(Ip("2001:db8:ffff::1")));
   EXPECT_FALSE(Answered(Ip("10.0.1.1")));
   EXPECT_FALSE(Answered(Ip("::ffff:10.0.1.1"))) << "mapped is the same host";
   EXPECT_FALSE(Answered(Ip("2001:db9::1")));
   EXPECT_TRUE(log.Contains("Refused 1 datagram(s) from 10.0.1.1: not an allowed address "
                            "(allowFrom). 1 refused in all.\n"));
   EXPECT_TRUE(log.Contains("Refused 1 datagram(s) from 2001:db9::1:"));
   EXPECT_EQ(log.Count("Refused"), 2u);

   for (int i = 0; i < 100; i++) {
      Answered(Ip("10.0.1.1"));
   }
   fakeNow += 59 * 1000000ull;
   SalvorFlushRefused();
   EXPECT_EQ(log.Count("Refused"), 2u) << "within the minute: counted only";
   fakeNow += 1000000;
   SalvorFlushRefused();
   EXPECT_TRUE(log.Contains("Refused 101 datagram(s) from 10.0.1.1: not an allowed address "
                            "(allowFrom). 103 refused in all.\n"));
   EXPECT_EQ(SalvorRefusedTotal(), 103u);
}

TEST_F(Refusals, RefusedHostMakesNoFileEvenForAnInit)
{
   std::vector<uint8_t> wire = testutil::Encode(MakeHeader(SALVOR_MSG_INIT, 1));
   uint8_t reply[SALVOR_HEADER_SIZE];
   EXPECT_FALSE(SalvorProcessDatagram(wire.data(), wire.size(), Ip("192.0.2.1"), reply));
   EXPECT_TRUE(testutil::ListFiles(dataDir.Path()).empty());
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[0]));
}

}  // namespace
