// The bounded formatter and its dialect.
#include <cstdint>
#include <cstring>
#include <string>
#include <gtest/gtest.h>

#include "lib/misc/strFixed.h"
#include "tests/support/testPlatform.h"

namespace {

// The size-prefix dialect is not printf's, so the compiler's format check
// would refuse it: these calls pass the format through unchecked.
int
Dialect(char *buf, size_t size, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   int n = Str_Vsnprintf(buf, size, format, args);
   va_end(args);
   return n;
}

char *
DialectHeap(size_t *length, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   char *out = Str_Vasprintf(length, format, args);
   va_end(args);
   return out;
}

TEST(StrFormat, DialectSizePrefixes)
{
   char buf[128];
   EXPECT_EQ(Dialect(buf, sizeof buf, "%I64u %I64d %I64x", (uint64_t)18446744073709551615ull,
                          (int64_t)-9000000000ll, (uint64_t)0xABCDEF0123ull), 43);
   EXPECT_STREQ(buf, "18446744073709551615 -9000000000 abcdef0123");
   Dialect(buf, sizeof buf, "%Iu|%Id|%#010I64x|%%I64u|%s", (size_t)7, (ptrdiff_t)-3,
                (uint64_t)0x1f, "I64");
   EXPECT_STREQ(buf, "7|-3|0x0000001f|%I64u|I64");
}

TEST(StrFormat, OnlyConversionsAreTranslated)
{
   char buf[128];
   // A capital I outside a conversion, or after "%%", is text.
   EXPECT_EQ(Dialect(buf, sizeof buf, "FILE: I64 %s Iu %%Iu %%p", "I"), 21);
   EXPECT_STREQ(buf, "FILE: I64 I Iu %Iu %p");
   Dialect(buf, sizeof buf, "[%-6Iu][%5I64d][%I32u]", (size_t)42, (int64_t)-7, 9u);
   EXPECT_STREQ(buf, "[42    ][   -7][9]");
}

TEST(StrFormat, PointersAreZeroPaddedUpperCaseHexWithoutPrefix)
{
   char buf[128];
   Str_Snprintf(buf, sizeof buf, "Read-write lock @ 0x%p", (void *)0x7f12ab00cdefull);
   EXPECT_STREQ(buf, "Read-write lock @ 0x00007F12AB00CDEF");
   Str_Snprintf(buf, sizeof buf, "X-%p|logLock_%p", (void *)nullptr, (void *)0x10);
   EXPECT_STREQ(buf, "X-0000000000000000|logLock_0000000000000010");
   // Arguments after a pointer stay in step.
   Dialect(buf, sizeof buf, "%p %s %I64u", (void *)1, "next", (uint64_t)5);
   EXPECT_STREQ(buf, "0000000000000001 next 5");
   char *heap = Str_Asprintf(nullptr, "0x%p", (void *)0xabc);
   ASSERT_NE(heap, nullptr);
   EXPECT_STREQ(heap, "0x0000000000000ABC");
   free(heap);
}

TEST(StrFormat, LongFormatWithDialectIsTranslatedWhole)
{
   std::string format = std::string(3000, 'x') + " %I64u %p %s";
   std::string out(4000, '\0');
   int n = Str_Snprintf(out.data(), out.size(), format.c_str(), (uint64_t)1 << 40, (void *)0xff,
                        "end");
   ASSERT_GT(n, 0);
   EXPECT_EQ(out.substr(3000, n - 3000), " 1099511627776 00000000000000FF end");
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
   char *out = DialectHeap(&len, "%s-%I64u", big.c_str(), (uint64_t)1 << 40);
   ASSERT_NE(out, nullptr);
   EXPECT_EQ(len, 5000u + 1 + 13);
   EXPECT_EQ(std::string(out).substr(5000), "-1099511627776");
   free(out);
}

TEST(StrFormatDeathTest, FixedFormatThatDoesNotFitStopsTheProcess)
{
   char buf[4];
   EXPECT_EXIT(Str_FormatFixed(buf, sizeof buf, "%s", "too long"),
               ::testing::ExitedWithCode(TEST_EXIT_MINUS_ONE),
               "lib/string/str:" TEST_RE_DIGITS " Buffer too small 0x");
   EXPECT_EXIT(Str_Strcpy(buf, "four", sizeof buf), ::testing::ExitedWithCode(TEST_EXIT_MINUS_ONE),
               "Buffer too small");
   EXPECT_STREQ(Str_Strcpy(buf, "two", sizeof buf), "two");
}

}  // namespace
