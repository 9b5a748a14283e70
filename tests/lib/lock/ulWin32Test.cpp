// The critical section under the Windows mutex: it spins before it sleeps.
#include <gtest/gtest.h>
#include <windows.h>

#include "lib/lock/ulPlatform.h"

namespace {

TEST(UserLockWin32, MutexSpinsBeforeItSleeps)
{
   MXUserPlatMutex *mutex = MXUserPlatMutexCreate();
   ASSERT_NE(mutex, nullptr);
   const CRITICAL_SECTION *section = reinterpret_cast<const CRITICAL_SECTION *>(mutex);
   SYSTEM_INFO info;
   GetSystemInfo(&info);
   // A single processor has nothing to spin for, and the system drops the count.
   EXPECT_EQ(section->SpinCount & 0xffffff, info.dwNumberOfProcessors > 1 ? 0x400u : 0u);
   MXUserPlatMutexDestroy(mutex);
}

}  // namespace
