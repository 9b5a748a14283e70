// The socket layer on real loopback sockets, and its calls failing through
// the failure seam.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/misc/platFault.h"
#include "lib/net/net.h"
#include "tests/support/testPlatform.h"

namespace {

constexpr uint32_t HOST_2 = 0x7F000002;  // 127.0.0.2
constexpr uint32_t HOST_3 = 0x7F000003;  // 127.0.0.3

// Whether a datagram shows the address its sender is bound to. Wine binds
// a UDP socket bound to one address to every address of that address's
// interface instead (so that it hears broadcasts, as on Windows), and the
// system then sends from the interface's first address.
bool
SourceAddressShown()
{
   return !TestUnderWine();
}

// A UDP socket bound to ip on an ephemeral port, closed at the end.
class Bound {
public:
   explicit Bound(uint32_t ip, bool nonBlocking = false) : fd(Net_UdpSocket(nonBlocking))
   {
      EXPECT_GE(fd, 0);
      EXPECT_EQ(Net_Bind(fd, ip, 0), 0) << Net_ErrorText(Net_LastError());
      EXPECT_EQ(Net_LocalAddr(fd, &addr), 0);
   }
   ~Bound() { Net_Close(fd); }

   NetSocket fd;
   NetAddr addr{};
};

// The socket library is started for each test, as a program starts it
// before its first socket (Windows has none before).
class Net : public ::testing::Test {
protected:
   void SetUp() override
   {
      uint16_t granted = 0;
      ASSERT_EQ(Net_Startup(0x0202, &granted), 0);
   }
   void TearDown() override
   {
      PlatFault_Clear();
      Net_Cleanup();
   }
};

TEST_F(Net, DatagramLongerThanTheBufferIsCutAndItsFullLengthReported)
{
   Bound sender(HOST_2), receiver(HOST_3);
   EXPECT_EQ(receiver.addr.ip, HOST_3);
   std::string sent(1601, 'x');
   ASSERT_EQ(Net_SendTo(sender.fd, sent.data(), sent.size(), &receiver.addr), 1601);

   ASSERT_EQ(Net_WaitReadable(receiver.fd, 5000), 1);
   std::vector<char> buf(1600);
   NetAddr from{};
   size_t full = 0;
   EXPECT_EQ(Net_RecvFrom(receiver.fd, buf.data(), buf.size(), &from, &full, false), 1600);
   EXPECT_EQ(full, 1601u);
   if (SourceAddressShown()) {
      EXPECT_EQ(from.ip, HOST_2);
   }
   EXPECT_EQ(from.port, sender.addr.port);
}

TEST_F(Net, EmptySocketWithoutWaitingWouldBlock)
{
   Bound receiver(HOST_3);
   EXPECT_EQ(Net_WaitReadable(receiver.fd, 0), 0);
   char buf[16];
   size_t full = 0;
   EXPECT_LT(Net_RecvFrom(receiver.fd, buf, sizeof buf, nullptr, &full, true), 0);
   EXPECT_TRUE(Net_WouldBlock(Net_LastError()));
}

TEST_F(Net, DatagramToAClosedPortIsRefusedOnTheNextReceive)
{
   if (TestUnderWine()) {
      GTEST_SKIP() << "Wine does not report a closed port of a UDP peer";
   }
   // A port that was bound and is free again: nothing listens on it.
   NetAddr closed;
   {
      Bound gone(HOST_3);
      closed = gone.addr;
   }
   Bound sender(HOST_2);
   ASSERT_EQ(Net_Connect(sender.fd, &closed), 0);
   ASSERT_EQ(Net_Send(sender.fd, "ping", 4), 4);

   ASSERT_EQ(Net_WaitReadable(sender.fd, 5000), 1);  // the error is pending
   char buf[16];
   size_t full = 0;
   EXPECT_LT(Net_RecvFrom(sender.fd, buf, sizeof buf, nullptr, &full, true), 0);
   int err = Net_LastError();
   EXPECT_TRUE(Net_Refused(err)) << Net_ErrorText(err);
   EXPECT_TRUE(Net_IsTransientReceiveError(err));
}

TEST_F(Net, InjectedReceiveFailureLeavesTheDatagramQueued)
{
   Bound sender(HOST_2), receiver(HOST_3);
   ASSERT_EQ(Net_SendTo(sender.fd, "abc", 3, &receiver.addr), 3);
   ASSERT_EQ(Net_WaitReadable(receiver.fd, 5000), 1);

   PlatFault_Inject(PLAT_RECVFROM, EINTR);
   char buf[16];
   size_t full = 0;
   EXPECT_LT(Net_RecvFrom(receiver.fd, buf, sizeof buf, nullptr, &full, true), 0);
   EXPECT_TRUE(Net_Interrupted(Net_LastError()));
   EXPECT_TRUE(Net_IsTransientReceiveError(Net_LastError()));

   // A fault of the socket itself is not one a host can cause.
   PlatFault_Inject(PLAT_RECVFROM, EBADF);
   EXPECT_LT(Net_RecvFrom(receiver.fd, buf, sizeof buf, nullptr, &full, true), 0);
   EXPECT_FALSE(Net_IsTransientReceiveError(Net_LastError()));

   EXPECT_EQ(Net_RecvFrom(receiver.fd, buf, sizeof buf, nullptr, &full, true), 3);
   EXPECT_EQ(std::string(buf, 3), "abc");
}

TEST_F(Net, InjectedFailuresOfSocketBindAndSend)
{
   PlatFault_Inject(PLAT_SOCKET, EMFILE);
   EXPECT_EQ(Net_UdpSocket(), NET_INVALID_SOCKET);
   EXPECT_EQ(Net_LastError(), EMFILE);

   Bound sender(HOST_2), receiver(HOST_3);
   PlatFault_Inject(PLAT_SENDTO, ENOBUFS);
   EXPECT_LT(Net_SendTo(sender.fd, "x", 1, &receiver.addr), 0);
   EXPECT_TRUE(Net_SendBufferFull(Net_LastError()));
   EXPECT_EQ(Net_WaitReadable(receiver.fd, 0), 0) << "a failed send sent nothing";

   NetSocket fd = Net_UdpSocket();
   PlatFault_Inject(PLAT_BIND, EADDRINUSE);
   EXPECT_LT(Net_Bind(fd, HOST_2, 0), 0);
   EXPECT_EQ(Net_LastError(), EADDRINUSE);
   Net_Close(fd);
}

// A batch holds every waiting datagram in order, with its source and full
// length; with the wake-up attached the receive itself waits, and a
// signal ends that wait without a datagram of its own showing.
TEST_F(Net, BatchReceiveWaitsOnlyWhenEmptyAndEndsOnAWakeUp)
{
   Bound sender(HOST_2), receiver(HOST_3);
   static char bufs[4][64];
   NetDatagram batch[4];
   for (int i = 0; i < 4; i++) {
      batch[i] = NetDatagram{bufs[i], sizeof bufs[i], 0, {}};
   }
   std::unique_ptr<NetRecvSet, void (*)(NetRecvSet *)> owned(Net_RecvSetCreate(batch, 4),
                                                            Net_RecvSetDestroy);
   NetRecvSet *set = owned.get();
   NetWakeup *wakeup = Net_WakeupCreate();
   ASSERT_NE(wakeup, nullptr);
   for (bool attached : {false, true}) {
      SCOPED_TRACE(attached ? "receive waits" : "poll waits");
      if (attached) {
         ASSERT_TRUE(Net_WakeupAttach(wakeup, receiver.fd));
      }
      std::string big(100, 'z');
      for (const std::string &text : {std::string("one"), std::string("two"), big}) {
         ASSERT_EQ(Net_SendTo(sender.fd, text.data(), text.size(), &receiver.addr),
                   (long)text.size());
      }
      ASSERT_EQ(Net_RecvBatch(receiver.fd, wakeup, set, 1000), 3);
      EXPECT_EQ(std::string(bufs[0], batch[0].length), "one");
      EXPECT_EQ(std::string(bufs[1], batch[1].length), "two");
      EXPECT_EQ(batch[2].length, 100u) << "the full length of a datagram that was cut";
      if (SourceAddressShown()) {
         EXPECT_EQ(batch[1].from.ip, HOST_2);
      }
      EXPECT_EQ(batch[1].from.port, sender.addr.port);

      EXPECT_EQ(Net_RecvBatch(receiver.fd, wakeup, set, 20), NET_RECV_TIMED_OUT);
      Net_WakeupSignal(wakeup);  // before the wait: ends it at once
      EXPECT_EQ(Net_RecvBatch(receiver.fd, wakeup, set, 60000), NET_RECV_WOKEN);
      // The wake-up sent nothing that a later receive would hand on.
      EXPECT_EQ(Net_RecvBatch(receiver.fd, wakeup, set, 20), NET_RECV_TIMED_OUT);
   }
   Net_WakeupDestroy(wakeup);
}

TEST_F(Net, BatchSendGoesToEachDestinationInOrder)
{
   Bound sender(HOST_2), a(HOST_3), b(HOST_3);
   NetOutgoing out[3] = {{"1", 1, a.addr}, {"2", 1, b.addr}, {"3", 1, a.addr}};
   ASSERT_EQ(Net_SendBatch(sender.fd, out, 3), 3);
   char buf[8];
   size_t len = 0;
   ASSERT_EQ(Net_RecvFrom(a.fd, buf, sizeof buf, nullptr, &len, false), 1);
   EXPECT_EQ(buf[0], '1');
   ASSERT_EQ(Net_RecvFrom(a.fd, buf, sizeof buf, nullptr, &len, false), 1);
   EXPECT_EQ(buf[0], '3');
   ASSERT_EQ(Net_RecvFrom(b.fd, buf, sizeof buf, nullptr, &len, false), 1);
   EXPECT_EQ(buf[0], '2');
}

TEST_F(Net, AddressesAsText)
{
   uint32_t ip = 0;
   ASSERT_TRUE(Net_ParseIPv4("127.0.0.3", &ip));
   EXPECT_EQ(ip, HOST_3);
   char text[16];
   Net_FormatIPv4(0x7F0A0BFF, text, sizeof text);
   EXPECT_STREQ(text, "127.10.11.255");
   for (const char *bad : {"127.0.0", "256.0.0.1", "127.0.0.1x", "", "localhost"}) {
      EXPECT_FALSE(Net_ParseIPv4(bad, &ip)) << bad;
   }
}

TEST_F(Net, PeersAsTextAndFromLookups)
{
   const char *error = nullptr;
   NetPeer peer{};
   ASSERT_TRUE(Net_ResolvePeer("127.0.0.3", 6500, &peer, &error)) << error;
   EXPECT_FALSE(peer.v6);
   EXPECT_EQ(std::memcmp(peer.addr, "\x7f\x00\x00\x03", 4), 0);
   char text[NET_PEER_TEXT_SIZE];
   Net_FormatPeer(&peer, text, sizeof text);
   EXPECT_STREQ(text, "127.0.0.3:6500");

   NetPeer fromAddr = Net_PeerFromIPv4(NetAddr{HOST_3, 6500});
   EXPECT_EQ(std::memcmp(&fromAddr, &peer, sizeof peer), 0);

   ASSERT_TRUE(Net_ResolvePeer("::1", 7, &peer, &error)) << error;
   EXPECT_TRUE(peer.v6);
   Net_FormatPeer(&peer, text, sizeof text);
   EXPECT_STREQ(text, "[::1]:7");
   peer.scope = 3;
   Net_FormatPeer(&peer, text, sizeof text);
   EXPECT_STREQ(text, "[::1%3]:7");

   // A colon means an IPv6 address, never a name to look up.
   EXPECT_FALSE(Net_ResolvePeer("no:such", 7, &peer, &error));
   EXPECT_NE(error, nullptr);
}

// A connected socket of the peer's family sends a batch to its peer, in
// order; the batch's own destinations are not read.
TEST_F(Net, ConnectedBatchGoesToThePeerInOrder)
{
   Bound receiver(NET_LOOPBACK);
   NetPeer peer = Net_PeerFromIPv4(receiver.addr);
   NetPeer local = Net_PeerFromIPv4(NetAddr{NET_LOOPBACK, 0});
   NetSocket sender = Net_UdpSocketFor(&peer);
   ASSERT_GE(sender, 0);
   EXPECT_EQ(Net_BindPeer(sender, &local), 0);
   ASSERT_EQ(Net_ConnectPeer(sender, &peer), 0);
   NetOutgoing out[2] = {{"a", 1, NetAddr{HOST_3, 1}}, {"bc", 2, NetAddr{HOST_3, 1}}};
   EXPECT_EQ(Net_SendConnectedBatch(sender, out, 2), 2);
   Net_Close(sender);
   char buf[8];
   size_t len = 0;
   ASSERT_EQ(Net_RecvFrom(receiver.fd, buf, sizeof buf, nullptr, &len, false), 1);
   EXPECT_EQ(buf[0], 'a');
   ASSERT_EQ(Net_RecvFrom(receiver.fd, buf, sizeof buf, nullptr, &len, false), 2);
   EXPECT_EQ(std::string(buf, 2), "bc");
}

TEST_F(Net, PeerSocketOfEachFamily)
{
   NetPeer v6{};
   const char *error = nullptr;
   ASSERT_TRUE(Net_ResolvePeer("::1", 0, &v6, &error)) << error;
   NetSocket sock = Net_UdpSocketFor(&v6);
   if (sock < 0) {
      GTEST_SKIP() << "no IPv6 here: " << Net_ErrorText(Net_LastError());
   }
   int bound = Net_BindPeer(sock, &v6);
   int err = Net_LastError();
   Net_Close(sock);
   if (bound != 0 && err == EADDRNOTAVAIL) {
      GTEST_SKIP() << "::1 is not configured here";
   }
   EXPECT_EQ(bound, 0) << Net_ErrorText(err);
}

// The address text of IPv4 and IPv6 hosts, as the collector reads it from
// its configuration and writes it to its log.
TEST(NetIpText, ParsesBothFamiliesAndWritesTheCanonicalForm)
{
   struct Case {
      const char *in;
      const char *out;
   };
   for (const Case &c : std::initializer_list<Case>{
           {"10.20.30.40", "10.20.30.40"},
           {"::1", "::1"},
           {"::", "::"},
           {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
           {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // first of two equal runs
           {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},           // the longest run
           {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
           {"fe80::", "fe80::"},
           {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
           {"::ffff:127.0.0.2", "127.0.0.2"},                 // mapped is IPv4
           {"::ffff:7f00:3", "127.0.0.3"},
           {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
       }) {
      NetIp ip;
      ASSERT_TRUE(Net_ParseIp(c.in, &ip)) << c.in;
      char text[NET_IP_TEXT_SIZE];
      Net_FormatIp(ip, text, sizeof text);
      EXPECT_STREQ(text, c.out) << c.in;
   }
   NetIp mapped;
   ASSERT_TRUE(Net_ParseIp("::ffff:127.0.0.2", &mapped));
   EXPECT_TRUE(mapped.IsV4());
   EXPECT_EQ(mapped, NetIp(HOST_2));
   EXPECT_EQ(mapped.V4(), HOST_2);

   for (const char *bad : {"", ":", ":::", "1::2::3", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7",
                           "12345::", "g::1", "1:", ":1", "1:2:3:4:5:6:7:8::",
                           "::1.2.3", "1.2.3.4::", "::1.2.3.4:5", "01.2.3.4", "1.2.3.256",
                           "1.2.3.4 ", " 1.2.3.4", "[::1]", "fe80::1%1", "1..2.3"}) {
      NetIp ip;
      EXPECT_FALSE(Net_ParseIp(bad, &ip)) << '"' << bad << '"';
   }
}

TEST(NetNetworks, CidrTextAndMembershipKeepTheFamiliesApart)
{
   struct Case {
      const char *network;
      const char *inside;
      const char *outside;
   };
   for (const Case &c : std::initializer_list<Case>{
           {"10.0.0.0/8", "10.255.1.2", "11.0.0.1"},
           {"127.0.0.2", "127.0.0.2", "127.0.0.3"},
           {"192.168.4.0/23", "192.168.5.255", "192.168.6.0"},
           {"0.0.0.0/0", "1.2.3.4", "::1"},  // every IPv4 host, no IPv6 one
           {"::/0", "2001:db8::1", "10.0.0.1"},  // every IPv6 host, no IPv4 one
           {"::1/128", "::1", "::2"},
           {"2001:db8::/33", "2001:db8:7fff::1", "2001:db8:8000::"},
           {"::ffff:10.0.0.0/104", "10.1.2.3", "11.1.2.3"},  // mapped form of 10/8
       }) {
      NetNetwork net;
      const char *why = nullptr;
      ASSERT_TRUE(Net_ParseNetwork(c.network, &net, &why)) << c.network << ": " << why;
      NetIp in, out;
      ASSERT_TRUE(Net_ParseIp(c.inside, &in));
      ASSERT_TRUE(Net_ParseIp(c.outside, &out));
      EXPECT_TRUE(Net_InNetwork(in, net)) << c.inside << " in " << c.network;
      EXPECT_FALSE(Net_InNetwork(out, net)) << c.outside << " in " << c.network;
   }
   for (const char *bad : {"10.0.0.0/33", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/8x",
                           "::/129", "10.0.0.1/8", "2001:db8::1/32", "10.0.0/8", "/8",
                           "10.0.0.0/0008", "host/8"}) {
      NetNetwork net;
      const char *why = nullptr;
      EXPECT_FALSE(Net_ParseNetwork(bad, &net, &why)) << bad;
      EXPECT_NE(why, nullptr) << bad;
   }
}

// A bound IPv6 socket, or none when the machine has no IPv6 loopback.
class Bound6 {
public:
   Bound6(const char *ip, bool v6Only)
   {
      NetIp addr;
      EXPECT_TRUE(Net_ParseIp(ip, &addr));
      NetPeer local = Net_PeerFromIp(addr, 0);
      local.v6 = true;  // a mapped address still needs an IPv6 socket
      fd = Net_UdpSocketFor(&local);
      if (fd >= 0 && (Net_SetV6Only(fd, v6Only) != 0 || Net_BindPeer(fd, &local) != 0)) {
         Net_Close(fd);
         fd = NET_INVALID_SOCKET;
      }
      if (fd >= 0) {
         Net_LocalAddr(fd, &this->addr);
      }
   }
   ~Bound6() { Net_Close(fd); }

   NetSocket fd = NET_INVALID_SOCKET;
   NetAddr addr{};
};

// IPv6 sources come through a batch whole, replies go back to them, and an
// IPv4 host seen through a dual-stack socket is the same host as over IPv4.
TEST_F(Net, BatchesCarryIPv6SourcesAndDualStackShowsIPv4HostsAsIPv4)
{
   Bound6 receiver("::", false);
   Bound6 sender("::1", true);
   if (receiver.fd < 0 || sender.fd < 0) {
      GTEST_SKIP() << "no IPv6 loopback";
   }
   Bound v4sender(HOST_2);
   NetAddr to6{};
   to6.v6 = true;
   to6.ip6[15] = 1;
   to6.port = receiver.addr.port;
   NetAddr to4{NET_LOOPBACK, receiver.addr.port};
   ASSERT_EQ(Net_SendTo(sender.fd, "six", 3, &to6), 3);
   ASSERT_EQ(Net_SendTo(v4sender.fd, "four", 4, &to4), 4);

   static char bufs[2][16];
   NetDatagram batch[2] = {{bufs[0], 16, 0, {}}, {bufs[1], 16, 0, {}}};
   std::unique_ptr<NetRecvSet, void (*)(NetRecvSet *)> set(Net_RecvSetCreate(batch, 2),
                                                          Net_RecvSetDestroy);
   // Loopback delivers within the send: both are waiting.
   ASSERT_EQ(Net_RecvBatch(receiver.fd, nullptr, set.get(), 1000), 2);
   EXPECT_TRUE(batch[0].from.v6);
   EXPECT_EQ(Net_AddrIp(batch[0].from), [] {
      NetIp one;
      Net_ParseIp("::1", &one);
      return one;
   }());
   EXPECT_EQ(Net_AddrIp(batch[1].from), NetIp(SourceAddressShown() ? HOST_2 : NET_LOOPBACK))
      << "a mapped source is its IPv4 host";

   // Replies from the same socket reach both, whatever their family.
   NetOutgoing out[2] = {{"r6", 2, batch[0].from}, {"r4", 2, batch[1].from}};
   ASSERT_EQ(Net_SendBatch(receiver.fd, out, 2), 2);
   char buf[8];
   size_t len = 0;
   NetAddr from{};
   ASSERT_EQ(Net_RecvFrom(sender.fd, buf, sizeof buf, &from, &len, false), 2);
   EXPECT_EQ(std::string(buf, 2), "r6");
   EXPECT_TRUE(from.v6);
   ASSERT_EQ(Net_RecvFrom(v4sender.fd, buf, sizeof buf, &from, &len, false), 2);
   EXPECT_EQ(std::string(buf, 2), "r4");
}

TEST_F(Net, WaitOnSeveralSocketsSaysWhichAreReadable)
{
   Bound a(HOST_2), b(HOST_3), sender(HOST_2);
   NetSocket socks[2] = {a.fd, b.fd};
   bool readable[2] = {true, true};
   NetWakeup *wakeup = Net_WakeupCreate();
   ASSERT_NE(wakeup, nullptr);
   EXPECT_EQ(Net_WaitAnyReadable(socks, 2, wakeup, 20, readable), 0);

   ASSERT_EQ(Net_SendTo(sender.fd, "x", 1, &b.addr), 1);
   ASSERT_EQ(Net_WaitAnyReadable(socks, 2, wakeup, 5000, readable), 1);
   EXPECT_FALSE(readable[0]);
   EXPECT_TRUE(readable[1]);
   char buf[4];
   size_t len = 0;
   ASSERT_EQ(Net_RecvFrom(b.fd, buf, sizeof buf, nullptr, &len, true), 1);

   Net_WakeupSignal(wakeup);
   EXPECT_EQ(Net_WaitAnyReadable(socks, 2, wakeup, 60000, readable), NET_RECV_WOKEN);
   EXPECT_EQ(Net_WaitAnyReadable(socks, 2, wakeup, 20, readable), 0) << "the signal was consumed";
   Net_WakeupDestroy(wakeup);
}

}  // namespace
