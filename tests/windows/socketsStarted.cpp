// Starts the socket library for a whole test program, as Windows needs
// it before any socket or lookup: tests that make their UDP peers before
// the code under test starts it link this in on Windows.
#include <gtest/gtest.h>

#include "lib/net/net.h"

namespace {

class SocketsStarted : public ::testing::Environment {
public:
   void SetUp() override
   {
      uint16_t granted = 0;
      ASSERT_EQ(Net_Startup(0x0202, &granted), 0);
   }
   // Left started: the code under test stops it as often as it starts it.
};

const ::testing::Environment *const socketsStarted =
   ::testing::AddGlobalTestEnvironment(new SocketsStarted);

}  // namespace
