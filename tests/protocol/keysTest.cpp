// The keys file's parser: what it takes, and what it refuses with which line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/salvorKeys.h"
#include "tests/support/testFiles.h"

namespace {

using namespace testutil;

std::string
KeyText(uint32_t seed)
{
   std::vector<uint8_t> bytes = RandomBytes(SALVOR_SEAL_KEY_SIZE, seed);
   std::string line = SalvorKeys_FormatLine("x", bytes.data());
   return line.substr(2);
}

// Parses text; "" when it loads (the keys go to *keys if given), else why.
std::string
Refusal(const std::string &text, SalvorKeys *keys = nullptr)
{
   SalvorKeys parsed;
   std::string why;
   bool ok = SalvorKeys_Parse(text.data(), text.size(), &parsed, &why);
   EXPECT_EQ(ok, why.empty()) << why;
   if (ok && keys != nullptr) {
      *keys = parsed;
   } else {
      SalvorKeys_Free(&parsed);
   }
   return ok ? "" : why;
}

TEST(KeysParse, CommentsBlankLinesAndBlanksAroundFields)
{
   std::string text = "# the lab's hosts\n\n"
                      "alpha " + KeyText(1) + "\n"
                      "   # indented comment\n"
                      "\tbeta\t \t" + KeyText(2) + "  \r\n"
                      "gamma.example.org " + KeyText(3);  // no newline at the end
   SalvorKeys keys;
   ASSERT_EQ("", Refusal(text, &keys));
   ASSERT_EQ(3u, keys.count);
   std::vector<uint8_t> beta = RandomBytes(SALVOR_SEAL_KEY_SIZE, 2);
   uint8_t id[SALVOR_SEAL_ID_SIZE];
   SalvorSeal_KeyId(beta.data(), id);
   const SalvorKey *found = SalvorKeys_Find(keys, id);
   ASSERT_NE(nullptr, found);
   EXPECT_STREQ("beta", found->name);
   EXPECT_EQ(0, std::memcmp(beta.data(), found->key, SALVOR_SEAL_KEY_SIZE));
   for (uint32_t seed : {1u, 3u}) {
      SalvorSeal_KeyId(RandomBytes(SALVOR_SEAL_KEY_SIZE, seed).data(), id);
      EXPECT_NE(nullptr, SalvorKeys_Find(keys, id)) << seed;
   }
   SalvorSeal_KeyId(RandomBytes(SALVOR_SEAL_KEY_SIZE, 4).data(), id);
   EXPECT_EQ(nullptr, SalvorKeys_Find(keys, id));
   SalvorKeys_Free(&keys);
   EXPECT_EQ(nullptr, keys.keys);
}

TEST(KeysParse, EmptyFileHoldsNoKeys)
{
   SalvorKeys keys;
   EXPECT_EQ("", Refusal("", &keys));
   EXPECT_EQ("", Refusal("# nobody yet\n\n", &keys));
   EXPECT_EQ(0u, keys.count);
   uint8_t id[SALVOR_SEAL_ID_SIZE] = {};
   EXPECT_EQ(nullptr, SalvorKeys_Find(keys, id));
}

TEST(KeysParse, MalformedLinesAreNamed)
{
   std::string key = KeyText(1);
   struct Case {
      std::string line;
      const char *reason;
   } cases[] = {
      {"alpha", "a name without a key"},
      {"alpha " + key + " extra", "more than a name and a key"},
      {"alpha " + key + " # comment", "more than a name and a key"},
      {"alpha " + key.substr(0, 43), "not the base64 of 32 bytes"},
      {"alpha " + key.substr(0, 43) + "==", "not the base64 of 32 bytes"},
      {"alpha " + key + "AAAA", "not the base64 of 32 bytes"},
      {"alpha " + std::string(44, '*'), "not the base64 of 32 bytes"},
      {"alpha AAAA", "not the base64 of 32 bytes"},
      {"al#pha " + key, "'#' in the name"},
      {std::string(SALVOR_KEY_NAME_MAX + 1, 'n') + " " + key, "a name longer than 64 bytes"},
   };
   for (const Case &c : cases) {
      std::string why = Refusal("# hosts\n\n" + c.line + "\n");
      EXPECT_EQ(0u, why.find("line 3: ")) << c.line << ": " << why;
      EXPECT_NE(std::string::npos, why.find(c.reason)) << c.line << ": " << why;
   }
   // URL-safe base64 is not the file's alphabet.
   std::string urlSafe = key;
   for (char &ch : urlSafe) {
      ch = ch == '+' ? '-' : ch == '/' ? '_' : ch;
   }
   if (urlSafe != key) {
      EXPECT_NE("", Refusal("alpha " + urlSafe + "\n"));
   }
   EXPECT_NE("", Refusal("alpha " + key + "\nbeta " + KeyText(2) + std::string("\0", 1)));
}

TEST(KeysParse, NameOrKeyTwiceIsRefused)
{
   std::string why = Refusal("a " + KeyText(1) + "\nb " + KeyText(2) + "\n\na " + KeyText(3));
   EXPECT_EQ("line 4: the name \"a\" is given on line 1 already", why);
   why = Refusal("a " + KeyText(1) + "\nb " + KeyText(2) + "\nc " + KeyText(1));
   EXPECT_EQ("line 3: the key of \"c\" is given on line 1 already", why);
}

TEST(KeysParse, NamesThatMakeKeyRefuses)
{
   std::string why;
   EXPECT_TRUE(SalvorKeys_NameIsValid("web-01.example.org", &why));
   EXPECT_TRUE(SalvorKeys_NameIsValid(std::string(SALVOR_KEY_NAME_MAX, 'n').c_str(), &why));
   for (const char *bad : {"", "a b", "a\tb", "tail ", "#a", "a#", "bell\a", "del\x7f"}) {
      EXPECT_FALSE(SalvorKeys_NameIsValid(bad, &why)) << bad;
   }
}

}  // namespace
