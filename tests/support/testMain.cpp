// The main of every test program: the fatal path comes first, so that a
// panic while the tests set up (before any test starts a log) leaves its
// core image and its lines, which wait in the log's pending ring.
#include <gtest/gtest.h>

#include "tests/support/testLog.h"

int
main(int argc, char **argv)
{
   testutil::InstallPanicHandler();
   testing::InitGoogleTest(&argc, argv);
   return RUN_ALL_TESTS();
}
