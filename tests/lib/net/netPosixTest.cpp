// What the POSIX wake-up keeps open: the descriptors it makes.
#include <gtest/gtest.h>

#include <filesystem>

#include "lib/net/net.h"

namespace {

constexpr uint32_t HOST_2 = 0x7F000002;  // 127.0.0.2
constexpr uint32_t HOST_3 = 0x7F000003;  // 127.0.0.3

int
OpenDescriptors()
{
   int count = 0;
   for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      count++;
   }
   return count;
}

NetSocket
BoundSocket(uint32_t ip)
{
   NetSocket sock = Net_UdpSocket(false);
   EXPECT_GE(sock, 0);
   EXPECT_EQ(Net_Bind(sock, ip, 0), 0);
   return sock;
}

// A wake-up pokes from one loopback address; attaching it to a socket of
// another is refused, and the socket made to try must not stay open.
TEST(NetWakeupPosix, RefusedAttachLeavesNoDescriptor)
{
   NetSocket first = BoundSocket(HOST_2), second = BoundSocket(HOST_3);
   NetWakeup *wakeup = Net_WakeupCreate();
   ASSERT_NE(wakeup, nullptr);
   ASSERT_TRUE(Net_WakeupAttach(wakeup, first));
   int before = OpenDescriptors();
   for (int i = 0; i < 3; i++) {
      EXPECT_FALSE(Net_WakeupAttach(wakeup, second));
   }
   EXPECT_EQ(OpenDescriptors(), before);
   Net_WakeupDestroy(wakeup);
   Net_Close(first);
   Net_Close(second);
}

}  // namespace
