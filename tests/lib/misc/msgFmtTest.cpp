// Message-format arguments: conversions read, arguments captured by type,
// formatted later in another order.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "lib/misc/msgFmt.h"

namespace {

struct Captured {
   MsgFmt_Arg *args = nullptr;
   int numArgs = 0;
   bool ok = false;
   const char *error = nullptr;
   ~Captured() { MsgFmt_FreeArgs(args, numArgs); }
};

void
Capture(Captured *c, const char *format, ...)
{
   va_list va;
   va_start(va, format);
   c->ok = MsgFmt_GetArgs(format, va, &c->args, &c->numArgs, &c->error);
   va_end(va);
}

std::string
Format(const char *format, const Captured &c)
{
   char *s = MsgFmt_Asprintf(nullptr, format, c.args, c.numArgs);
   if (s == nullptr) {
      return "<null>";
   }
   std::string out = s;
   std::free(s);
   return out;
}

}  // namespace

TEST(MsgFmt, CapturesEachArgumentByItsType)
{
   Captured c;
   char name[] = "disk";
   Capture(&c, "%s %d %I64d %zu %.2f %p %c %%", name, -7, (int64_t)1 << 40, (size_t)9, 2.5,
           (void *)0x10, 'x');
   ASSERT_TRUE(c.ok) << c.error;
   ASSERT_EQ(c.numArgs, 7);
   EXPECT_EQ(c.args[0].type, MSGFMT_ARG_STRING8);
   EXPECT_EQ(c.args[1].type, MSGFMT_ARG_INT32);
   EXPECT_EQ(c.args[2].type, MSGFMT_ARG_INT64);
   EXPECT_EQ(c.args[3].type, MSGFMT_ARG_INT64);
   EXPECT_EQ(c.args[4].type, MSGFMT_ARG_FLOAT64);
   EXPECT_EQ(c.args[5].type, MSGFMT_ARG_PTR);
   // Strings are owned copies: the caller's buffer may change afterwards.
   std::strcpy(name, "gone");
   EXPECT_EQ(Format("%s %d %I64d %zu %.2f %p %c %%", c), "disk -7 1099511627776 9 2.50 0x10 x %");
}

TEST(MsgFmt, PositionalConversionsReorderCapturedArguments)
{
   Captured c;
   Capture(&c, "%s has %d dumps", "host", 3);
   ASSERT_TRUE(c.ok);
   EXPECT_EQ(Format("%2$d dumps belong to %1$s", c), "3 dumps belong to host");
   EXPECT_EQ(Format("%1$s, %1$s: %2$05d", c), "host, host: 00003");

   Captured p;
   Capture(&p, "%2$s-%1$s", "a", "b");
   ASSERT_TRUE(p.ok);
   EXPECT_EQ(Format("%s-%s", p), "a-b");  // the captured order is position order
}

TEST(MsgFmt, StarWidthAndPrecisionAreArguments)
{
   Captured c;
   Capture(&c, "[%*.*s]", 6, 2, "abcdef");
   ASSERT_TRUE(c.ok);
   ASSERT_EQ(c.numArgs, 3);
   EXPECT_EQ(Format("[%*.*s]", c), "[    ab]");
   EXPECT_EQ(Format("[%3$-*1$.*2$s]", c), "[ab    ]");
}

TEST(MsgFmt, NullStringIsShownNotDereferenced)
{
   Captured c;
   Capture(&c, "<%s>", static_cast<const char *>(nullptr));
   ASSERT_TRUE(c.ok);
   EXPECT_EQ(Format("<%s>", c), "<(null)>");
}

TEST(MsgFmt, RejectsFormatsThatCannotBeCapturedSafely)
{
   const char *bad[] = {
      "%n",             // writes through a pointer
      "%d %2$d",        // positional and plain mixed
      "%2$d",           // position 1 never used
      "%1$d %1$s",      // one position, two types
      "%y",             // unknown conversion
      "%ls",            // wide strings
      "%Lf",            // long double
      "trailing %",     // ends inside a conversion
      "%101$d",         // beyond any message
      "%0$s",           // position 0 names no argument
      "%1$*0$d",        // nor as a width
   };
   for (const char *format : bad) {
      int32_t *types = nullptr;
      int n = 0;
      const char *error = nullptr;
      EXPECT_FALSE(MsgFmt_GetTypes(format, &types, &n, &error)) << format;
      EXPECT_NE(error, nullptr) << format;
   }
}

// A format without conversions has no types to copy: nothing may be read
// from the empty list (the sanitizer build catches a null copy source).
TEST(MsgFmt, FormatWithoutConversionsHasNoTypes)
{
   for (const char *format : {"", "plain text", "100%% sure"}) {
      int32_t *types = nullptr;
      int n = -1;
      const char *error = nullptr;
      ASSERT_TRUE(MsgFmt_GetTypes(format, &types, &n, &error)) << format;
      EXPECT_EQ(n, 0) << format;
      EXPECT_NE(types, nullptr) << format;
      std::free(types);
   }
}

TEST(MsgFmt, FormattingRefusesATextThatDoesNotFitTheArguments)
{
   Captured c;
   Capture(&c, "%s %d", "x", 1);
   ASSERT_TRUE(c.ok);
   EXPECT_EQ(Format("%d %s", c), "<null>");      // types swapped
   EXPECT_EQ(Format("%1$s %3$d", c), "<null>");  // a gap
   EXPECT_EQ(Format("%1$s only", c), "x only");  // leaving one out is fine
}

TEST(MsgFmt, CopiesAreDeep)
{
   Captured c;
   Capture(&c, "%s", "text");
   ASSERT_TRUE(c.ok);
   MsgFmt_Arg *copy = MsgFmt_CopyArgs(c.args, c.numArgs);
   EXPECT_NE(copy[0].v.string8, c.args[0].v.string8);
   EXPECT_STREQ(copy[0].v.string8, "text");
   MsgFmt_FreeArgs(copy, c.numArgs);
}
