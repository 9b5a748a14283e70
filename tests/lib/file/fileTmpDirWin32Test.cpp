// The per-user safe temporary directory on Windows, under a TMP of the
// test's own: its name, and the protected two-entry DACL it is made with
// and checked for.
#include <aclapi.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

#include "lib/file/file.h"
#include "lib/file/filePlatform.h"
#include "lib/misc/platFault.h"
#include "tests/lib/file/fileTestUtil.h"
#include "tests/support/testPlatform.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class SafeTmpDirWin32 : public FileTestDir {
protected:
   void SetUp() override
   {
      FileTestDir::SetUp();
      const char *old = std::getenv(testutil::TEMP_DIR_VARIABLE);
      hadTmp_ = old != nullptr;
      oldTmp_ = hadTmp_ ? old : "";
      // A trailing separator, as GetTempPathW gives it, is not doubled.
      testutil::SetEnv(testutil::TEMP_DIR_VARIABLE, dir_ + "\\");
      std::string user;
      ASSERT_TRUE(FilePlat_UserName(&user));
      plain_ = dir_ + "\\quillon-" + user;
   }
   void TearDown() override
   {
      if (hadTmp_) {
         testutil::SetEnv(testutil::TEMP_DIR_VARIABLE, oldTmp_);
      } else {
         testutil::UnsetEnv(testutil::TEMP_DIR_VARIABLE);
      }
      FileTestDir::TearDown();
   }

   static std::string Get()
   {
      char *dir = File_GetSafeTmpDir(false);
      std::string out = dir != nullptr ? dir : "";
      std::free(dir);
      return out;
   }

   std::string plain_;

private:
   bool hadTmp_ = false;
   std::string oldTmp_;
};

// The current user's SID and the Administrators group's.
struct Sids {
   Sids()
   {
      HANDLE token;
      OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
      DWORD size = sizeof userBuf;
      GetTokenInformation(token, TokenUser, userBuf, size, &size);
      CloseHandle(token);
      DWORD adminSize = sizeof admin;
      CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admin, &adminSize);
   }
   PSID User() { return reinterpret_cast<TOKEN_USER *>(userBuf)->User.Sid; }
   BYTE userBuf[256];
   BYTE admin[SECURITY_MAX_SID_SIZE];
};

// Makes path a directory with the system's default (inherited) security.
void
MakePlainDir(const std::string &path)
{
   ASSERT_TRUE(File_MakeDir(path.c_str()));
}

/*
 * Wine keeps no security descriptor of a file: it turns the DACL into
 * permission bits and reads back one made from them (the owner, the
 * user's grant, nothing for everyone else). The protection from
 * inheritance and the Administrators' entry are lost, so a directory
 * never passes the check there, and each call makes a fresh one. What
 * Wine can show is tested everywhere; the rest only on Windows.
 */
TEST_F(SafeTmpDirWin32, PlainDirectoryIsMadeForTheUserAlone)
{
   ASSERT_EQ(Get(), plain_) << "one separator before the prefix, whatever TMP ends with";

   PSID owner = nullptr;
   PACL dacl = nullptr;
   PSECURITY_DESCRIPTOR sd = nullptr;
   ASSERT_EQ(GetNamedSecurityInfoA(plain_.c_str(), SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   &owner, nullptr, &dacl, nullptr, &sd),
             (DWORD)ERROR_SUCCESS);
   Sids sids;
   ASSERT_NE(dacl, nullptr);
   EXPECT_TRUE(EqualSid(owner, sids.User()));
   BYTE everyone[SECURITY_MAX_SID_SIZE];
   DWORD everyoneSize = sizeof everyone;
   ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &everyoneSize));
   bool userGranted = false;
   std::vector<PSID> granted;
   for (DWORD i = 0; i < dacl->AceCount; i++) {
      ACCESS_ALLOWED_ACE *ace = nullptr;
      ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void **>(&ace)));
      ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
      PSID who = &ace->SidStart;
      EXPECT_FALSE(EqualSid(who, everyone)) << "nothing for everybody";
      userGranted = userGranted || (EqualSid(who, sids.User()) && (ace->Mask & READ_CONTROL));
      granted.push_back(who);
   }
   EXPECT_TRUE(userGranted);
   if (!TestUnderWine()) {
      SECURITY_DESCRIPTOR_CONTROL control = 0;
      DWORD revision = 0;
      ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
      EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from the base";
      // The Administrators group first, then the user.
      ASSERT_EQ(granted.size(), 2u);
      EXPECT_TRUE(EqualSid(granted[0], sids.admin));
      EXPECT_TRUE(EqualSid(granted[1], sids.User()));
      EXPECT_EQ(Get(), plain_) << "the remembered directory, checked again";
   }
   LocalFree(sd);
}

TEST_F(SafeTmpDirWin32, DirectoryWithInheritedPermissionsIsNotTrusted)
{
   MakePlainDir(plain_);
   CaptureStderr();
   std::string fresh = Get();
   std::string log = GetCapturedStderr();
   EXPECT_NE(log.find("W32Util_IsDirectorySafe: Failed DACL inherit check, \"" + plain_ + "\""),
             std::string::npos)
      << log;
   ASSERT_NE(fresh, plain_);
   EXPECT_EQ(fresh.rfind(plain_ + "-", 0), 0u) << fresh;
   if (!TestUnderWine()) {
      EXPECT_TRUE(FilePlat_IsDirectorySafe(fresh.c_str()));
      EXPECT_EQ(Get(), fresh);
   }
}

TEST_F(SafeTmpDirWin32, EarlierFreshDirectoryIsReusedWhenStillSafe)
{
   if (TestUnderWine()) {
      GTEST_SKIP() << "Wine keeps no DACL: no directory passes the check";
   }
   MakePlainDir(plain_);
   std::string earlier = plain_ + "-12345";
   ASSERT_TRUE(FilePlat_MakeSafeDirectory((earlier + "\\").c_str()));
   CaptureStderr();
   EXPECT_EQ(Get(), earlier);
   GetCapturedStderr();
}

TEST_F(SafeTmpDirWin32, FailedCreationIsLoggedWithTheSystemError)
{
   PlatFault_Inject(PLAT_MKDIR, EACCES);
   CaptureStderr();
   EXPECT_FALSE(FilePlat_MakeSafeDirectory(P("denied").c_str()));
   std::string log = GetCapturedStderr();
   EXPECT_NE(log.find("W32Util_MakeSafeDirectory: CreateDirectoryW failed: 5\n"),
             std::string::npos)
      << log;
   EXPECT_FALSE(Exists(P("denied")));
}

TEST_F(SafeTmpDirWin32, WritableDirectoryIsToldByAnAccessCheck)
{
   EXPECT_TRUE(FileIsWritableDir(dir_.c_str()));
   WriteFile(P("f"), "");
   EXPECT_FALSE(FileIsWritableDir(P("f").c_str()));
   EXPECT_FALSE(FileIsWritableDir(P("none").c_str()));
}

}  // namespace
