// The broken-pipe check against the error a real pipe gives.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <unistd.h>

#include "lib/misc/platError.h"

namespace {

TEST(PlatErrorTest, WriteToAPipeWithoutReaderIsBrokenPipe)
{
   int ends[2];
   ASSERT_EQ(pipe(ends), 0);
   close(ends[0]);
   struct sigaction ignore = {}, old;
   ignore.sa_handler = SIG_IGN;
   sigaction(SIGPIPE, &ignore, &old);
   ssize_t n = write(ends[1], "x", 1);
   int err = errno;
   sigaction(SIGPIPE, &old, nullptr);
   close(ends[1]);
   ASSERT_EQ(n, -1);
   EXPECT_TRUE(PlatError_IsBrokenPipe(err));
}

TEST(PlatErrorTest, OtherErrorsAreNot)
{
   for (int err : {0, ENOENT, EAGAIN, EINTR, EBADF}) {
      EXPECT_FALSE(PlatError_IsBrokenPipe(err)) << err;
   }
}

}  // namespace
