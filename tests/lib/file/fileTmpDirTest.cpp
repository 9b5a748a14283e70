// The per-user safe temporary directory, under a TMPDIR of the test's own.
#include <cstdlib>
#include <gtest/gtest.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/file/file.h"
#include "tests/support/testFiles.h"

namespace {

class SafeTmpDir : public testing::Test {
protected:
   void SetUp() override
   {
      const char *old = std::getenv("TMPDIR");
      if (old != nullptr) {
         oldTmp = old;
      }
      setenv("TMPDIR", tmp.path().c_str(), 1);
      plain = tmp / (std::string("quillon-") + getpwuid(geteuid())->pw_name);
   }
   void TearDown() override
   {
      if (oldTmp.empty()) {
         unsetenv("TMPDIR");
      } else {
         setenv("TMPDIR", oldTmp.c_str(), 1);
      }
   }

   std::string Get()
   {
      char *dir = File_GetSafeTmpDir(false);
      std::string out = dir != nullptr ? dir : "";
      free(dir);
      return out;
   }

   static mode_t Mode(const std::string &path)
   {
      struct stat st;
      return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
   }

   testutil::TempDir tmp;
   std::string oldTmp;
   std::string plain;
};

}  // namespace

TEST_F(SafeTmpDir, PlainPerUserDirectoryIsCreatedOwnerOnlyAndReused)
{
   EXPECT_EQ(Get(), plain);
   EXPECT_EQ(Mode(plain), S_IFDIR | 0700);
   EXPECT_EQ(Get(), plain);
}

TEST_F(SafeTmpDir, DirectoryOpenToOthersOrALinkIsNotTrusted)
{
   ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
   chmod(plain.c_str(), 0755);
   std::string fresh = Get();
   EXPECT_NE(fresh, plain);
   EXPECT_EQ(fresh.rfind(plain + "-", 0), 0u) << fresh;
   EXPECT_EQ(Mode(fresh), S_IFDIR | 0700);

   // A link to a directory of ours is not ours to use.
   ASSERT_EQ(rmdir(plain.c_str()), 0);
   std::string target = tmp / "elsewhere";
   ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
   ASSERT_EQ(symlink(target.c_str(), plain.c_str()), 0);
   std::string other = Get();
   EXPECT_NE(other, plain);
   EXPECT_EQ(other.rfind(plain + "-", 0), 0u) << other;
}
