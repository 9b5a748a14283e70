// Cryptographic random bytes, and their failures through the seam.
#include <set>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "lib/misc/platFault.h"
#include "lib/misc/random.h"
#include "tests/support/testPlatform.h"

namespace {

class RandomTest : public testing::Test {
protected:
   void TearDown() override { PlatFault_Clear(); }
};

bool
AllZero(const unsigned char *bytes, size_t n)
{
   for (size_t i = 0; i < n; i++) {
      if (bytes[i] != 0) {
         return false;
      }
   }
   return true;
}

TEST_F(RandomTest, FillsTheWholeBuffer)
{
   unsigned char a[64] = {}, b[64] = {};
   ASSERT_TRUE(Random_Crypto(sizeof a, a));
   ASSERT_TRUE(Random_Crypto(sizeof b, b));
   // Every 16-byte quarter was written, and two draws differ.
   for (size_t q = 0; q < sizeof a; q += 16) {
      EXPECT_FALSE(AllZero(a + q, 16)) << "quarter at " << q;
   }
   EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
   EXPECT_TRUE(Random_Crypto(0, nullptr));
}

TEST_F(RandomTest, PlatformFailureIsReported)
{
   unsigned char a[16];
   PlatFault_Inject(PLAT_RANDOM, EIO);
   EXPECT_FALSE(Random_Crypto(sizeof a, a));
   EXPECT_TRUE(Random_Crypto(sizeof a, a));  // only one call was armed
}

TEST_F(RandomTest, InterruptedReadsAreRetriedOnPosix)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "POSIX only: the Windows random source is never interrupted";
   }
   unsigned char a[64] = {};
   PlatFault_Inject(PLAT_RANDOM, EINTR, 0, 2);
   EXPECT_TRUE(Random_Crypto(sizeof a, a));
}

TEST_F(RandomTest, ShortReadsAreCompleted)
{
   unsigned char a[64] = {};
   PlatFault_Inject(PLAT_RANDOM, EIO, 0, 1, 3);  // first read returns 3 bytes
   ASSERT_TRUE(Random_Crypto(sizeof a, a));
   EXPECT_FALSE(AllZero(a + 48, 16)) << "the rest after a short read was not filled";

   // A short read, then a failing one.
   PlatFault_Inject(PLAT_RANDOM, EIO, 0, 2, 5);
   EXPECT_FALSE(Random_Crypto(sizeof a, a));
}

}  // namespace

namespace {

TEST(RandomSimple, NeighbouringSeedsGiveUnrelatedStreams)
{
   // Processes with neighbouring ids draw lock member numbers (bits 8 to
   // 23) from these streams: they must not keep meeting.
   std::set<uint32_t> seen;
   size_t draws = 0;
   for (uint32_t seed = 4000; seed < 4016; seed++) {
      RandomSimpleState *state = Random_SimpleCreate(seed);
      for (int i = 0; i < 64; i++) {
         seen.insert((Random_SimpleNext(state) >> 8) & 0xffff);
         draws++;
      }
      Random_SimpleDestroy(state);
   }
   // 1,024 draws from 65,536 numbers: about 8 repeats by chance.
   EXPECT_GT(seen.size(), draws - 40);
}

}  // namespace
