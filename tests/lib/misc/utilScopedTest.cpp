// The scope-bound helpers: what they own is freed once, and a call cut short
// by a signal is made again while a real failure is not.
#include "lib/misc/utilScoped.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

char **
MakeNames(int count)
{
   char **names = static_cast<char **>(std::malloc(count * sizeof(char *)));
   for (int i = 0; i < count; i++) {
      names[i] = strdup(std::to_string(i).c_str());
   }
   return names;
}

}  // namespace

TEST(UtilScoped, NameListOwnsItsNamesAcrossMovesAndFailedListings)
{
   UtilNameList list(MakeNames(3), 3);
   ASSERT_EQ(list.size(), 3);
   EXPECT_STREQ(list[2], "2");
   UtilNameList moved(std::move(list));
   EXPECT_EQ(list.size(), 0);
   EXPECT_EQ(moved.size(), 3);
   int seen = 0;
   for (char *name : moved) {
      EXPECT_STREQ(name, std::to_string(seen++).c_str());
   }
   moved = UtilNameList(MakeNames(1), 1);
   EXPECT_EQ(moved.size(), 1);
   UtilNameList failed(nullptr, -1);  // a listing that failed has no array
   EXPECT_EQ(failed.size(), 0);
   EXPECT_EQ(failed.begin(), failed.end());
}

TEST(UtilScoped, RetryOnEintrRepeatsOnlyInterruptedCalls)
{
   int calls = 0;
   int result = Util_RetryOnEintr([&] {
      errno = ++calls < 3 ? EINTR : 0;
      return calls < 3 ? -1 : 7;
   });
   EXPECT_EQ(result, 7);
   EXPECT_EQ(calls, 3);

   calls = 0;
   result = Util_RetryOnEintr([&] {
      calls++;
      errno = EACCES;
      return -1;
   });
   EXPECT_EQ(result, -1);
   EXPECT_EQ(calls, 1);
   UtilCString text(strdup("freed with its scope"));
   EXPECT_STREQ(text.get(), "freed with its scope");
}
