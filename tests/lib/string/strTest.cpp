// The bounded formatter and its dialect.
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>

#include "lib/string/str.h"

namespace {

TEST(StrFormat, DialectSizePrefixes)
{
   char buf[128];
   EXPECT_EQ(Str_Snprintf(buf, sizeof buf, "%I64u %I64d %I64x", (uint64_t)18446744073709551615ull,
                          (int64_t)-9000000000ll, (uint64_t)0xABCDEF0123ull), 43);
   EXPECT_STREQ(buf, "18446744073709551615 -9000000000 abcdef0123");
   Str_Snprintf(buf, sizeof buf, "%Iu|%Id|%#010I64x|%%I64u|%s", (size_t)7, (ptrdiff_t)-3,
                (uint64_t)0x1f, "I64");
   EXPECT_STREQ(buf, "7|-3|0x0000001f|%I64u|I64");
}

TEST(StrFormat, TooLongTextIsCutAndReported)
{
   char buf[8];
   EXPECT_EQ(Str_Snprintf(buf, sizeof buf, "%s", "abcdefghij"), -1);
   EXPECT_STREQ(buf, "abcdefg");
   EXPECT_EQ(Str_Snprintf(buf, sizeof buf, "%s", "abcdefg"), 7) << "exactly fits";
}

TEST(StrFormat, CutNeverSplitsAUtf8Character)
{
   char buf[6];
   // "abcd" then a two-byte character that would straddle the end.
   EXPECT_EQ(Str_Snprintf(buf, sizeof buf, "abcd\xc3\xa9xyz"), -1);
   EXPECT_STREQ(buf, "abcd");
   char buf2[7];
   EXPECT_EQ(Str_Snprintf(buf2, sizeof buf2, "ab\xe2\x82\xac\xe2\x82\xac"), -1);  // two euro signs
   EXPECT_STREQ(buf2, "ab\xe2\x82\xac");
}

TEST(StrFormat, HeapFormatting)
{
   size_t len = 0;
   std::string big(5000, 'x');
   char *out = Str_Asprintf(&len, "%s-%I64u", big.c_str(), (uint64_t)1 << 40);
   ASSERT_NE(out, nullptr);
   EXPECT_EQ(len, 5000u + 1 + 13);
   EXPECT_EQ(std::string(out).substr(5000), "-1099511627776");
   free(out);
}

TEST(StrFormatDeathTest, FixedFormatThatDoesNotFitStopsTheProcess)
{
   char buf[4];
   EXPECT_EXIT(Str_FormatFixed(buf, sizeof buf, "%s", "too long"), ::testing::ExitedWithCode(255),
               "lib/string/str:[0-9]+ Buffer too small 0x");
   EXPECT_EXIT(Str_Strcpy(buf, "four", sizeof buf), ::testing::ExitedWithCode(255),
               "Buffer too small");
   EXPECT_STREQ(Str_Strcpy(buf, "two", sizeof buf), "two");
}

}  // namespace
