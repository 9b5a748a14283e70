// Loading the keys file from disk: only a file its owner alone may read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "protocol/salvorKeysFile.h"
#include "tests/support/testFiles.h"

namespace {

using namespace testutil;

std::string
KeyLine(const char *name, uint32_t seed)
{
   return SalvorKeys_FormatLine(name, RandomBytes(SALVOR_SEAL_KEY_SIZE, seed).data()) + "\n";
}

// Writes a keys file with the given mode; "" when it loads, else why.
std::string
LoadWithMode(const TempDir &dir, const std::string &text, mode_t mode, size_t *count = nullptr)
{
   std::string path = dir / "keys";
   WriteFile(path, text);
   EXPECT_EQ(0, chmod(path.c_str(), mode));
   SalvorKeys keys;
   std::string why;
   bool ok = SalvorKeys_Load(path.c_str(), &keys, &why);
   EXPECT_EQ(ok, why.empty());
   if (count != nullptr) {
      *count = keys.count;
   }
   SalvorKeys_Free(&keys);
   return why;
}

TEST(KeysFile, OnlyTheOwnerMayRead)
{
   TempDir dir;
   std::string text = "# hosts\n" + KeyLine("a", 1) + KeyLine("b", 2);
   size_t count = 0;
   EXPECT_EQ("", LoadWithMode(dir, text, 0600, &count));
   EXPECT_EQ(2u, count);
   EXPECT_EQ("", LoadWithMode(dir, text, 0400));
   EXPECT_EQ("", LoadWithMode(dir, text, 0620));  // writable by the group is not reading
   for (mode_t open : {0640, 0604, 0644, 0444}) {
      std::string why = LoadWithMode(dir, text, open);
      EXPECT_NE(std::string::npos, why.find("others than its owner may read it")) << why;
      EXPECT_NE(std::string::npos, why.find(dir / "keys")) << why;
   }
}

TEST(KeysFile, RefusalsNameTheFileAndTheLine)
{
   TempDir dir;
   std::string why = LoadWithMode(dir, KeyLine("a", 1) + KeyLine("a", 2), 0600);
   EXPECT_EQ("keys file \"" + (dir / "keys") + "\": line 2: the name \"a\" is given on line 1 already",
             why);
   why = LoadWithMode(dir, KeyLine("a", 1) + "b\n", 0600);
   EXPECT_NE(std::string::npos, why.find("line 2: a name without a key")) << why;

   SalvorKeys keys;
   EXPECT_FALSE(SalvorKeys_Load((dir / "missing").c_str(), &keys, &why));
   EXPECT_NE(std::string::npos, why.find("missing")) << why;
   EXPECT_FALSE(SalvorKeys_Load(dir.Path().c_str(), &keys, &why));
   EXPECT_EQ(nullptr, keys.keys);
}

TEST(KeysFile, OversizedFileIsRefused)
{
   TempDir dir;
   std::string text = KeyLine("a", 1) + std::string(SALVOR_KEYS_FILE_MAX, '\n');
   std::string why = LoadWithMode(dir, text, 0600);
   EXPECT_NE(std::string::npos, why.find("larger than")) << why;
}

}  // namespace
