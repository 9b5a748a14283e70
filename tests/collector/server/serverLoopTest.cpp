// The receive loop on a real socket, run on a thread of the test with a
// clock that the test moves.
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "collector/startup/salvorConfig.h"
#include "collector/server/salvorServer.h"
#include "collector/server/salvorSlots.h"
#include "lib/misc/clock.h"
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
      std::snprintf(SalvorConfig.dataDir, sizeof SalvorConfig.dataDir, "%s", data.path().c_str());
      SalvorClockUsec = FakeClock;
      loop = std::thread([] { SalvorServerLoop(); });
   }
   void TearDown() override
   {
      SalvorConfig.stopRequested = true;
      UdpPeer waker;
      waker.sendTo(Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK)), SalvorConfig.port);
      loop.join();
      SalvorClockUsec = Clock_MonotonicUsec;
   }
   // A request answered by the loop; retried while it starts up.
   salvorMsgHeader call(UdpPeer &peer, const salvorMsgHeader &hdr, const std::string &payload = "")
   {
      salvorMsgHeader reply{};
      for (int attempt = 0; attempt < 50; attempt++) {
         if (peer.request(Encode(hdr, payload), SalvorConfig.port, &reply, 200)) {
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
      ASSERT_EQ(call(host, MakeHeader(SALVOR_MSG_INIT, 7)).status, hxk_success);
   }
   UdpPeer streamer("127.0.3.1");
   salvorMsgHeader init = call(streamer, MakeHeader(SALVOR_MSG_INIT, 9));
   ASSERT_EQ(init.status, hxk_success);
   ASSERT_EQ(testutil::ListFiles(data.path()).size(), (size_t)SILENT + 1);

   // The streamer sends a data message every (fake) second: the socket is
   // never quiet long enough for the five-second wait to end empty.
   for (uint32_t second = 1; second <= 70; second++) {
      fakeNow += 1000000;
      salvorMsgHeader hdr = MakeHeader(SALVOR_MSG_DATA, 9, init.assignedDumpID);
      hdr.dataOffset = second;
      hdr.dataLength = 1;
      ASSERT_EQ(call(streamer, hdr, "x").status, hxk_success);
      size_t files = testutil::ListFiles(data.path()).size();
      if (second <= 60) {
         ASSERT_EQ(files, (size_t)SILENT + 1) << "second " << second;
      }
   }
   EXPECT_EQ(testutil::ListFiles(data.path()).size(), 1u) << "silent hosts' dumps still held";
   EXPECT_EQ(log.count("Removing partial dump"), (size_t)SILENT);
   UdpPeer newcomer("127.0.4.1");
   EXPECT_EQ(call(newcomer, MakeHeader(SALVOR_MSG_INIT, 1)).assignedDumpID, 0u);

   // The loop's stop leaves open dumps as they are: finish both.
   EXPECT_EQ(call(newcomer, MakeHeader(SALVOR_MSG_DONE, 1, 0)).status, hxk_success);
   EXPECT_EQ(call(streamer, MakeHeader(SALVOR_MSG_DONE, 9, init.assignedDumpID)).status,
             hxk_success);
}

}  // namespace
