// The receive loop on a real socket, run on a thread of the test with a
// clock that the test moves.
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "collector/service/salvorWiring.h"
#include "collector/startup/salvorConfig.h"
#include "collector/receive/salvorServer.h"
#include "collector/receive/salvorSlots.h"
#include "lib/log/logInt.h"
#include "lib/misc/clock.h"
#include "tests/support/testLog.h"
#include "tests/support/testUtil.h"

using testutil::Encode;
using testutil::MakeHeader;
using testutil::UdpPeer;

namespace {

std::atomic<uint64_t> fakeNow{1000000};
uint64_t FakeClock() { return fakeNow.load(); }

class ServerLoop : public ::testing::Test {
protected:
   void SetUp() override
   {
      SalvorConfigReset();
      SalvorConfig.port = testutil::FreeUdpPort();
      std::snprintf(SalvorConfig.dataDir, sizeof SalvorConfig.dataDir, "%s", data.Path().c_str());
      SalvorClockUsec = FakeClock;
      SalvorWireOperations();
      loop = std::thread([] { SalvorServerLoop(); });
   }
   void TearDown() override
   {
      // The stop request's own wake-up: a socket of the test made now could
      // meet the loop's clean-up, which closes every socket of the process.
      SalvorServerRequestStop();
      loop.join();
      SalvorClockUsec = Clock_MonotonicUsec;
   }
   // A request answered by the loop; retried while it starts up.
   salvorMsgHeader Call(UdpPeer &peer, const salvorMsgHeader &hdr, const std::string &payload = "")
   {
      salvorMsgHeader reply{};
      for (int attempt = 0; attempt < 50; attempt++) {
         if (peer.Request(Encode(hdr, payload), SalvorConfig.port, &reply, 200)) {
            return reply;
         }
      }
      ADD_FAILURE() << "no reply";
      return reply;
   }

   testutil::TempDir data;
   testutil::LogCapture log;
   std::thread loop;
};

TEST_F(ServerLoop, SilentHostsExpireWhileAnotherHostStreams)
{
   constexpr int SILENT = 12;
   for (int h = 0; h < SILENT; h++) {
      UdpPeer host(("127.0.2." + std::to_string(h + 1)).c_str());
      ASSERT_EQ(Call(host, MakeHeader(SALVOR_MSG_INIT, 7)).status, hxk_success);
   }
   UdpPeer streamer("127.0.3.1");
   salvorMsgHeader init = Call(streamer, MakeHeader(SALVOR_MSG_INIT, 9));
   ASSERT_EQ(init.status, hxk_success);
   ASSERT_EQ(testutil::ListFiles(data.Path()).size(), (size_t)SILENT + 1);

   // The streamer sends a data message every (fake) second: the socket is
   // never quiet long enough for the five-second wait to end empty.
   for (uint32_t second = 1; second <= 70; second++) {
      fakeNow += 1000000;
      salvorMsgHeader hdr = MakeHeader(SALVOR_MSG_DATA, 9, init.assignedDumpID);
      hdr.dataOffset = second;
      hdr.dataLength = 1;
      ASSERT_EQ(Call(streamer, hdr, "x").status, hxk_success);
      size_t files = testutil::ListFiles(data.Path()).size();
      if (second <= 60) {
         ASSERT_EQ(files, (size_t)SILENT + 1) << "second " << second;
      }
   }
   EXPECT_EQ(testutil::ListFiles(data.Path()).size(), 1u) << "silent hosts' dumps still held";
   EXPECT_EQ(log.Count("Removing partial dump"), (size_t)SILENT);
   UdpPeer newcomer("127.0.4.1");
   EXPECT_EQ(Call(newcomer, MakeHeader(SALVOR_MSG_INIT, 1)).assignedDumpID, 0u);

   // The loop's stop leaves open dumps as they are: finish both.
   EXPECT_EQ(Call(newcomer, MakeHeader(SALVOR_MSG_DONE, 1, 0)).status, hxk_success);
   EXPECT_EQ(Call(streamer, MakeHeader(SALVOR_MSG_DONE, 9, init.assignedDumpID)).status,
             hxk_success);
}

// The lines that matter (a dump opened) are not lost behind a flood: held
// back by the throttle, they are written at the loop's first wake-up after
// the throttle lifts, even when that wake-up logs nothing of its own.
TEST_F(ServerLoop, LinesHeldBackByAFloodGoOutWhenTheThrottleLifts)
{
   static std::atomic<uint64_t> logNow{1000000000};
   LogMonotonicUsec = [] { return logNow.load(); };
   log.Throttle(2000, 100);
   UdpPeer streamer("127.0.5.1");
   salvorMsgHeader init = Call(streamer, MakeHeader(SALVOR_MSG_INIT, 3));
   ASSERT_EQ(init.status, hxk_success);

   std::vector<uint8_t> junk(SALVOR_HEADER_SIZE, 0xEE);  // bad magic: no reply
   UdpPeer probe("127.0.5.8");
   // Each host gets only a few lines a second: it takes many to flood.
   for (int round = 0; round < 10; round++) {
      for (int host = 1; host <= 8; host++) {
         UdpPeer flooder(("127.0.6." + std::to_string(round * 8 + host)).c_str());
         for (int i = 0; i < 10; i++) {
            flooder.SendTo(junk, SalvorConfig.port);
         }
      }
      Call(probe, MakeHeader(SALVOR_MSG_STATUS_CHECK));  // the flood has been handled
   }
   ASSERT_TRUE(log.Contains("<<< Log Throttled >>>"));
   UdpPeer late("127.0.5.2");
   ASSERT_EQ(Call(late, MakeHeader(SALVOR_MSG_INIT, 4)).status, hxk_success);
   const std::string opened = "for 127.0.5.2 in slot 1.";
   ASSERT_FALSE(log.Contains(opened)) << "held back while throttled";

   // A data message logs nothing at level 0; its arrival wakes the loop.
   salvorMsgHeader data = MakeHeader(SALVOR_MSG_DATA, 3, init.assignedDumpID);
   data.dataLength = 1;
   for (int window = 0; window < 2 && !log.Contains(opened); window++) {
      logNow += 61000000;
      ASSERT_EQ(Call(streamer, data, "x").status, hxk_success);
   }
   EXPECT_TRUE(log.Contains(opened));
   EXPECT_TRUE(log.Contains("<<< Log dropped ")) << "the flood overflowed the ring";
   LogMonotonicUsec = Clock_MonotonicUsec;

   EXPECT_EQ(Call(streamer, MakeHeader(SALVOR_MSG_DONE, 3, init.assignedDumpID)).status,
             hxk_success);
   EXPECT_EQ(Call(late, MakeHeader(SALVOR_MSG_DONE, 4, 1)).status, hxk_success);
}

}  // namespace
