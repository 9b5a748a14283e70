// The cross-built libraries as the Windows build links them: ICU with its
// real data (the stub data library links as well, and fails only here,
// when a converter is opened), and libxml2 built static.
#include <gtest/gtest.h>

#include <cstring>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <string>
#include <unicode/ucnv.h>

namespace {

TEST(WindowsDeps, IcuConvertersHaveTheirData)
{
   UErrorCode status = U_ZERO_ERROR;
   UConverter *latin1 = ucnv_open("ISO-8859-1", &status);
   ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
   const char in[] = "caf\xe9";
   UChar out[8];
   int32_t n = ucnv_toUChars(latin1, out, 8, in, (int32_t)std::strlen(in), &status);
   ucnv_close(latin1);
   ASSERT_TRUE(U_SUCCESS(status)) << u_errorName(status);
   ASSERT_EQ(n, 4);
   EXPECT_EQ(out[3], 0xE9);

   status = U_ZERO_ERROR;
   UConverter *shiftJis = ucnv_open("Shift_JIS", &status);  // from the data archive only
   EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
   ucnv_close(shiftJis);
}

TEST(WindowsDeps, Libxml2ReadsADocument)
{
   const char text[] = "<salvor><port>6500</port></salvor>";
   xmlDocPtr doc = xmlReadMemory(text, (int)std::strlen(text), "config.xml", nullptr, 0);
   ASSERT_NE(doc, nullptr);
   xmlNodePtr root = xmlDocGetRootElement(doc);
   ASSERT_NE(root, nullptr);
   EXPECT_STREQ((const char *)root->name, "salvor");
   xmlChar *port = xmlNodeGetContent(root->children);
   EXPECT_STREQ((const char *)port, "6500");
   xmlFree(port);
   xmlFreeDoc(doc);
}

}  // namespace
