// The per-user safe temporary directory, under a TMPDIR of the test's own.
#include <acl/libacl.h>
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <pwd.h>
#include <string>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/config/preference.h"
#include "lib/file/file.h"
#include "lib/user/dictionary.h"
#include "lib/misc/platFault.h"
#include "tests/support/testFiles.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class SafeTmpDir : public testing::Test {
protected:
   void SetUp() override
   {
      const char *old = std::getenv("TMPDIR");
      if (old != nullptr) {
         oldTmp = old;
      }
      setenv("TMPDIR", tmp.Path().c_str(), 1);
      plain = tmp / (std::string("quillon-") + getpwuid(geteuid())->pw_name);
   }
   void TearDown() override
   {
      PlatFault_Clear();
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

   /*
    * Adds to path's ACL of the given type an entry granting `perms` to
    * the user 65534, with the mask `mask`. False when the file system
    * keeps no ACLs.
    */
   static bool GrantNobody(const std::string &path, acl_type_t type, const char *perms,
                           const char *mask)
   {
      std::string text = std::string("u::rwx,g::---,o::---,u:65534:") + perms + ",m::" + mask;
      acl_t acl = acl_from_text(text.c_str());
      if (acl == nullptr) {
         return false;
      }
      int rc = acl_set_file(path.c_str(), type, acl);
      int err = errno;
      acl_free(acl);
      if (rc != 0 && (err == ENOTSUP || err == EOPNOTSUPP)) {
         return false;
      }
      EXPECT_EQ(rc, 0) << strerror(err);
      return rc == 0;
   }

   // Whether the path carries ACL entries beyond owner, group and other.
   static bool HasExtendedAcl(const std::string &path)
   {
      return acl_extended_file_nofollow(path.c_str()) == 1;
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

TEST_F(SafeTmpDir, DirectoryOfAnotherUserOrWithoutOwnerRightsIsNotTrusted)
{
   ASSERT_EQ(mkdir(plain.c_str(), 0700), 0);
   ASSERT_EQ(chown(plain.c_str(), 65534, 65534), 0);
   std::string fresh = Get();
   EXPECT_EQ(fresh.rfind(plain + "-", 0), 0u) << fresh;

   // A plain file holding the name.
   std::string otherTmp = tmp / "second";
   ASSERT_EQ(mkdir(otherTmp.c_str(), 0700), 0);
   setenv("TMPDIR", otherTmp.c_str(), 1);
   ASSERT_EQ(chmod(fresh.c_str(), 0755), 0);
   std::string held = otherTmp + "/" + plain.substr(plain.rfind('/') + 1);
   testutil::WriteFile(held, "taken");
   std::string other = Get();
   EXPECT_EQ(other.rfind(held + "-", 0), 0u) << other;
}

TEST_F(SafeTmpDir, AclEntriesOpeningTheDirectoryAreNotTrusted)
{
   ASSERT_EQ(mkdir(plain.c_str(), 0700), 0);
   // The mask lets nothing through, yet the entry is there to be widened.
   if (!GrantNobody(plain, ACL_TYPE_ACCESS, "r-x", "---")) {
      GTEST_SKIP() << "the test tree's file system keeps no POSIX ACLs";
   }
   ASSERT_EQ(Mode(plain) & 077, 0u);
   CaptureStderr();
   std::string fresh = Get();
   std::string log = GetCapturedStderr();
   EXPECT_EQ(fresh.rfind(plain + "-", 0), 0u) << fresh;
   EXPECT_NE(log.find("W32Util_IsDirectorySafe: Failed DACL num entries check, \"" + plain +
                      "\"\n"), std::string::npos) << log;

   // A default ACL would hand the files made inside to somebody else.
   ASSERT_EQ(chmod(fresh.c_str(), 0755), 0);
   ASSERT_EQ(acl_delete_def_file(plain.c_str()), 0);
   acl_t plainAcl = acl_from_mode(0700);
   ASSERT_EQ(acl_set_file(plain.c_str(), ACL_TYPE_ACCESS, plainAcl), 0);
   acl_free(plainAcl);
   ASSERT_TRUE(GrantNobody(plain, ACL_TYPE_DEFAULT, "rwx", "rwx"));
   CaptureStderr();
   std::string again = Get();
   log = GetCapturedStderr();
   EXPECT_NE(again, plain);
   EXPECT_NE(log.find("W32Util_IsDirectorySafe: Failed DACL inherit check, \"" + plain + "\"\n"),
             std::string::npos) << log;
}

TEST_F(SafeTmpDir, NewDirectoryDropsWhatTheBaseWouldPassOn)
{
   if (!GrantNobody(tmp.Path(), ACL_TYPE_DEFAULT, "rwx", "rwx")) {
      GTEST_SKIP() << "the test tree's file system keeps no POSIX ACLs";
   }
   EXPECT_EQ(Get(), plain);
   EXPECT_EQ(Mode(plain), S_IFDIR | 0700);
   EXPECT_FALSE(HasExtendedAcl(plain));
   EXPECT_EQ(acl_delete_def_file(tmp.Path().c_str()), 0);
}

TEST_F(SafeTmpDir, RememberedDirectoryIsCheckedAgainOnEveryCall)
{
   ASSERT_EQ(Get(), plain);
   ASSERT_EQ(rmdir(plain.c_str()), 0);
   EXPECT_EQ(Get(), plain) << "made again where it was";
   EXPECT_EQ(Mode(plain), S_IFDIR | 0700);

   ASSERT_EQ(chmod(plain.c_str(), 0770), 0);
   std::string fresh = Get();
   EXPECT_EQ(fresh.rfind(plain + "-", 0), 0u) << fresh;
   EXPECT_EQ(Get(), fresh) << "the fresh one is remembered";
}

TEST_F(SafeTmpDir, EarlierFreshDirectoryIsReusedWhenStillSafe)
{
   ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
   ASSERT_EQ(chmod(plain.c_str(), 0755), 0);
   std::string open = plain + "-1";
   std::string link = plain + "-2";
   std::string earlier = plain + "-3";
   ASSERT_EQ(mkdir(open.c_str(), 0755), 0);
   ASSERT_EQ(chmod(open.c_str(), 0755), 0);
   ASSERT_EQ(mkdir(earlier.c_str(), 0700), 0);
   ASSERT_EQ(symlink(earlier.c_str(), link.c_str()), 0);
   EXPECT_EQ(Get(), earlier);
}

TEST_F(SafeTmpDir, BaseComesFromTmpdirOrTheLocalCache)
{
   // One trailing separator of TMPDIR is dropped.
   setenv("TMPDIR", (tmp.Path() + "/").c_str(), 1);
   ASSERT_EQ(Get(), plain);

   // Without a usable TMPDIR (nor "tmpDirectory"): "Temp" in the local
   // cache directory, once the remembered directory is no longer safe.
   std::string cache = tmp / "cache";
   ASSERT_EQ(mkdir(cache.c_str(), 0700), 0);
   const char *oldCache = std::getenv("XDG_CACHE_HOME");
   std::string savedCache = oldCache != nullptr ? oldCache : "";
   setenv("XDG_CACHE_HOME", cache.c_str(), 1);
   setenv("TMPDIR", (tmp.Path() + "/missing").c_str(), 1);
   ASSERT_EQ(chmod(plain.c_str(), 0755), 0);
   char *dir = File_GetSafeTmpDir(true);
   std::string got = dir != nullptr ? dir : "";
   free(dir);
   EXPECT_EQ(got, cache + "/Temp/" + plain.substr(plain.rfind('/') + 1));
   if (savedCache.empty()) {
      unsetenv("XDG_CACHE_HOME");
   } else {
      setenv("XDG_CACHE_HOME", savedCache.c_str(), 1);
   }
}

TEST_F(SafeTmpDir, DirectoryMadeByARacingProcessIsCheckedAndUsed)
{
   // Remembered: a fresh directory, which then turns unsafe; the plain
   // one is missing.
   ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
   ASSERT_EQ(chmod(plain.c_str(), 0755), 0);
   std::string fresh = Get();
   ASSERT_NE(fresh, plain);
   ASSERT_EQ(chmod(fresh.c_str(), 0755), 0);
   ASSERT_EQ(rmdir(plain.c_str()), 0);

   // Another process of this user makes the plain directory between our
   // look for it and our mkdir.
   static std::string racer;
   racer = plain;
   PlatFault_SetObserver([](PlatCall call) {
      if (call == PLAT_MKDIR && !racer.empty()) {
         mkdir(racer.c_str(), 0700);
         racer.clear();
      }
   });
   std::string got = Get();
   PlatFault_SetObserver(nullptr);
   EXPECT_TRUE(racer.empty()) << "the race was not run";
   EXPECT_EQ(got, plain);
}

TEST_F(SafeTmpDir, MissingLocalCacheDirectoryIsMade)
{
   ASSERT_EQ(Get(), plain);
   ASSERT_EQ(chmod(plain.c_str(), 0755), 0);  // the remembered one is no longer safe
   std::string cache = tmp / "home-cache";
   const char *oldCache = std::getenv("XDG_CACHE_HOME");
   std::string savedCache = oldCache != nullptr ? oldCache : "";
   setenv("XDG_CACHE_HOME", cache.c_str(), 1);
   setenv("TMPDIR", (tmp.Path() + "/missing").c_str(), 1);
   std::string got = Get();
   if (savedCache.empty()) {
      unsetenv("XDG_CACHE_HOME");
   } else {
      setenv("XDG_CACHE_HOME", savedCache.c_str(), 1);
   }
   EXPECT_EQ(got, cache + "/Temp/" + plain.substr(plain.rfind('/') + 1));
   EXPECT_EQ(Mode(cache), S_IFDIR | 0700);
}

TEST_F(SafeTmpDir, TmpDirectoryPreferenceChoosesTheBase)
{
   std::string base = tmp / "configured";
   ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
   testutil::WriteFile(tmp / "prefs.ini", "tmpDirectory = \"" + base + "\"\n");
   Dictionary *prefs = Dictionary_Create();
   ASSERT_TRUE(Dictionary_Load(prefs, (tmp / "prefs.ini").c_str(), true, "UTF-8", nullptr));
   Preference_Init();
   Preference_SetRunTimeLayer(prefs);
   char *dir = File_GetSafeTmpDir(true);
   std::string got = dir != nullptr ? dir : "";
   free(dir);
   EXPECT_EQ(got, base + plain.substr(plain.rfind('/')));
   Preference_Exit();
}

TEST_F(SafeTmpDir, NoRandomNumberNoFreshDirectory)
{
   ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
   ASSERT_EQ(chmod(plain.c_str(), 0755), 0);
   PlatFault_Inject(PLAT_RANDOM, EIO, 0, -1);
   CaptureStderr();
   EXPECT_EQ(Get(), "");
   EXPECT_NE(GetCapturedStderr().find("FileCreateSafeTmpDir: Call to Random_Crypto failed.\n"),
             std::string::npos);
}
