// The per-user safe temporary directory on Windows, under a TMP of the
// test's own: its name, and the protected two-entry DACL it is made with
// and checked for.
#include <aclapi.h>
#include <sddl.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

#include "lib/file/file.h"
#include "lib/file/fileInt.h"
#include "lib/file/filePlatform.h"
#include "lib/file/fileWin32Int.h"
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


// Runs a command line (ASCII) as a process of its own; its exit code.
DWORD
RunToEnd(const std::string &line)
{
   std::wstring wide(line.begin(), line.end());
   STARTUPINFOW start{};
   start.cb = sizeof start;
   PROCESS_INFORMATION child{};
   if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &start, &child)) {
      return (DWORD)-1;
   }
   WaitForSingleObject(child.hProcess, INFINITE);
   DWORD code = (DWORD)-1;
   GetExitCodeProcess(child.hProcess, &code);
   CloseHandle(child.hThread);
   CloseHandle(child.hProcess);
   return code;
}

// A security descriptor from its text form, with "U" standing for the
// user's SID; freed with the object.
class BuiltDescriptor {
public:
   BuiltDescriptor(std::wstring text, PSID user)
   {
      wchar_t *sid = nullptr;
      ConvertSidToStringSidW(user, &sid);
      for (size_t at = text.find(L";U)"); at != std::wstring::npos; at = text.find(L";U)")) {
         text.replace(at + 1, 1, sid);
      }
      for (size_t at = text.find(L"O:U"); at != std::wstring::npos; at = text.find(L"O:U")) {
         text.replace(at + 2, 1, sid);
      }
      LocalFree(sid);
      ok_ = ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                 &sd_, nullptr) != 0;
   }
   ~BuiltDescriptor() { LocalFree(sd_); }
   bool ok() const { return ok_; }
   PSECURITY_DESCRIPTOR get() const { return sd_; }

private:
   PSECURITY_DESCRIPTOR sd_ = nullptr;
   bool ok_ = false;
};

// The verdict of the check on a directory of these attributes and
// descriptor, and the reason it logged.
std::pair<bool, std::string>
Verdict(const std::wstring &text, DWORD attributes = FILE_ATTRIBUTE_DIRECTORY)
{
   Sids sids;
   BuiltDescriptor sd(text, sids.User());
   EXPECT_TRUE(sd.ok()) << "descriptor not built: " << GetLastError();
   CaptureStderr();
   bool safe = FileWin32SafeDirVerdict("D", attributes, sd.get(), sids.User(), sids.admin);
   return {safe, GetCapturedStderr()};
}

// Generic-all and all standard rights, inherited by files and directories.
#define GRANT L"OICI;0x101f0000;;;"

TEST(SafeTmpDirVerdict, OnlyTheProtectedTwoGrantsOfUserAndAdministratorsPass)
{
   const std::wstring good = L"O:UD:P(A;" GRANT L"BA)(A;" GRANT L"U)";
   EXPECT_TRUE(Verdict(good).first) << Verdict(good).second;
   EXPECT_TRUE(Verdict(L"O:BAD:P(A;" GRANT L"U)(A;" GRANT L"BA)").first) << "owned by the group";

   const struct {
      const wchar_t *text;
      const char *reason;
   } refused[] = {
      // Made first by someone else: their own, and open to inheritance.
      {L"O:S-1-5-21-1-2-3-1001D:P(A;" GRANT L"BA)(A;" GRANT L"U)", "Failed owner SID match"},
      {L"O:UD:(A;" GRANT L"BA)(A;" GRANT L"U)", "Failed DACL inherit check"},
      {L"O:UD:P(A;" GRANT L"BA)(A;" GRANT L"U)(A;;0x1200a9;;;SY)", "Failed DACL num entries"},
      {L"O:UD:P(A;" GRANT L"BA)(A;" GRANT L"WD)", "Failed cur user and admin ACE presence"},
      {L"O:UD:P(D;" GRANT L"BA)(A;" GRANT L"U)", "Failed cur user and admin ACE presence"},
      {L"O:UD:P(D;;0x1;;;WD)(A;" GRANT L"BA)(A;" GRANT L"U)", "Failed DACL num entries"},
      // Grants that files made inside would not get.
      {L"O:UD:P(A;;0x101f0000;;;BA)(A;;0x101f0000;;;U)", "Failed cur user and admin ACE"},
      {L"O:UD:P(A;CI;0x101f0000;;;BA)(A;" GRANT L"U)", "Failed cur user and admin ACE"},
      // Without read-control, the grant does not count.
      {L"O:UD:P(A;" GRANT L"BA)(A;OICI;0x100000;;;U)", "Failed cur user and admin ACE"},
   };
   for (const auto &c : refused) {
      auto [safe, log] = Verdict(c.text);
      EXPECT_FALSE(safe) << std::string(c.text, c.text + wcslen(c.text));
      EXPECT_NE(log.find(c.reason), std::string::npos) << log;
   }
}

TEST(SafeTmpDirVerdict, LinksAndOtherThingsThanDirectoriesFail)
{
   const std::wstring good = L"O:UD:P(A;" GRANT L"BA)(A;" GRANT L"U)";
   for (DWORD attributes : {(DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
                            (DWORD)FILE_ATTRIBUTE_NORMAL, INVALID_FILE_ATTRIBUTES}) {
      auto [safe, log] = Verdict(good, attributes);
      EXPECT_FALSE(safe) << attributes;
      EXPECT_NE(log.find("Failed directory attributes check, \"D\""), std::string::npos) << log;
   }
}

TEST(SafeTmpDirVerdict, WhatTheDirectoryIsMadeWithPassesAndIsPassedDown)
{
   std::vector<BYTE> made;
   ASSERT_TRUE(FileWin32SafeDirSecurity(&made));
   Sids sids;
   CaptureStderr();
   EXPECT_TRUE(FileWin32SafeDirVerdict("D", FILE_ATTRIBUTE_DIRECTORY, made.data(), sids.User(),
                                       sids.admin));
   std::string log = GetCapturedStderr();
   EXPECT_EQ(log, "");
   PACL dacl = nullptr;
   BOOL present = FALSE, defaulted = FALSE;
   ASSERT_TRUE(GetSecurityDescriptorDacl(made.data(), &present, &dacl, &defaulted));
   ASSERT_NE(dacl, nullptr);
   ASSERT_EQ(dacl->AceCount, 2u);
   for (DWORD i = 0; i < dacl->AceCount; i++) {
      ACE_HEADER *ace = nullptr;
      ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void **>(&ace)));
      EXPECT_EQ(ace->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
                OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
   }
}

TEST_F(SafeTmpDirWin32, PlainDirectoryMadeFirstByAnotherProcessIsNotUsed)
{
   // Another process takes the predictable name before this one looks.
   ASSERT_EQ(RunToEnd("cmd.exe /c mkdir \"" + plain_ + "\""), 0u);
   ASSERT_TRUE(Exists(plain_));
   CaptureStderr();
   std::string fresh = Get();
   std::string log = GetCapturedStderr();
   EXPECT_NE(log.find("W32Util_IsDirectorySafe: Failed"), std::string::npos) << log;
   EXPECT_NE(fresh, plain_);
   EXPECT_EQ(fresh.rfind(plain_ + "-", 0), 0u) << fresh;
}

TEST_F(SafeTmpDirWin32, FilesMadeInsideInheritTheDirectorysGrants)
{
   if (TestUnderWine()) {
      GTEST_SKIP() << "Wine keeps no DACL, so nothing to inherit";
   }
   std::string dir = Get();
   std::string file = dir + "\\inside.dmp";
   WriteFile(file, "x");
   PACL dacl = nullptr;
   PSECURITY_DESCRIPTOR sd = nullptr;
   ASSERT_EQ(GetNamedSecurityInfoA(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, &dacl, nullptr, &sd),
             (DWORD)ERROR_SUCCESS);
   Sids sids;
   bool admin = false, user = false;
   for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; i++) {
      ACCESS_ALLOWED_ACE *ace = nullptr;
      ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void **>(&ace)));
      EXPECT_TRUE(ace->Header.AceFlags & INHERITED_ACE);
      admin = admin || EqualSid(&ace->SidStart, sids.admin);
      user = user || EqualSid(&ace->SidStart, sids.User());
   }
   EXPECT_TRUE(admin && user);
   EXPECT_EQ(dacl == nullptr ? 0 : dacl->AceCount, 2u);
   LocalFree(sd);
}

}  // namespace
