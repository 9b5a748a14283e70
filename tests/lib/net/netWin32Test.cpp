// What only the Winsock back end does: its error table, met through the
// failure seam with the codes the system itself reports, and the switch
// that keeps ICMP reports about earlier replies off a serving socket.
#include <gtest/gtest.h>

#include <winsock2.h>

#include "lib/misc/platFault.h"
#include "lib/net/net.h"

namespace {

class NetWin32 : public ::testing::Test {
protected:
   void SetUp() override
   {
      uint16_t granted = 0;
      ASSERT_EQ(Net_Startup(0x0202, &granted), 0);
      sock = Net_UdpSocket(true);
      ASSERT_GE(sock, 0);
      ASSERT_EQ(Net_Bind(sock, NET_LOOPBACK, 0), 0);
   }
   void TearDown() override
   {
      PlatFault_Clear();
      Net_Close(sock);
      Net_Cleanup();
   }
   NetSocket sock = NET_INVALID_SOCKET;
};

TEST_F(NetWin32, ReceiveErrorsThatAHostCanProvokeAreTransient)
{
   // ICMP reports about earlier replies (port unreachable, time exceeded)
   // and a short-lived lack of buffers: none may stop a server.
   const struct {
      int wsa;
      bool transient;
   } cases[] = {
      {WSAECONNRESET, true},   {WSAENETRESET, true}, {WSAEHOSTUNREACH, true},
      {WSAENETUNREACH, true},  {WSAEINTR, true},     {WSAENOBUFS, true},
      {WSAENOTSOCK, false},    {WSAEFAULT, false},   {WSAEINVAL, false},
   };
   char buf[16];
   size_t full = 0;
   for (const auto &c : cases) {
      PlatFault_Inject(PLAT_RECVFROM, PlatFault_Win32Code(c.wsa));
      long n = Net_RecvFrom(sock, buf, sizeof buf, nullptr, &full, false);
      int wsa = WSAGetLastError();  // before any other call can change it
      EXPECT_LT(n, 0);
      EXPECT_EQ(wsa, c.wsa);
      EXPECT_EQ(Net_IsTransientReceiveError(Net_LastError()), c.transient)
         << c.wsa << ": " << Net_ErrorText(Net_LastError());
   }
}

TEST_F(NetWin32, BatchReceiveReportsTheWinsockErrorMapped)
{
   NetDatagram one{};
   char buf[64];
   one.buf = buf;
   one.size = sizeof buf;
   NetRecvSet *set = Net_RecvSetCreate(&one, 1);
   ASSERT_NE(set, nullptr);
   PlatFault_Inject(PLAT_RECVFROM, PlatFault_Win32Code(WSAENETRESET));
   EXPECT_LT(Net_RecvBatch(sock, nullptr, set, 0), 0);
   EXPECT_TRUE(Net_IsTransientReceiveError(Net_LastError()));
   Net_RecvSetDestroy(set);
}

TEST_F(NetWin32, ServingSocketTakesBothResetSwitches)
{
   int rc = Net_IgnorePeerResets(sock);
   int wsa = WSAGetLastError();
   EXPECT_EQ(rc, 0) << Net_ErrorText(Net_LastError()) << " " << wsa;
}

}  // namespace
