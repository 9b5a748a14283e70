// Who may change a file or directory, decided from built descriptors (the
// lists Windows gives its own folders, and the ones an attacker would
// leave), and the list of the folders that only administrators change.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <string>

#include "lib/misc/w32Util.h"

namespace {

// The installer's account, which owns the system's program folders.
#define INSTALLER "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"

struct Case {
   const char *what;
   const wchar_t *sddl;
   bool adminOnly;
   const char *because;  // a part of the reason given, when refused
};

bool
Decide(const wchar_t *sddl, std::string *why)
{
   PSECURITY_DESCRIPTOR sd = nullptr;
   EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd,
                                                                    nullptr))
      << GetLastError();
   bool adminOnly = sd != nullptr && W32Util_DescriptorIsAdminOnly(sd, why);
   LocalFree(sd);
   return adminOnly;
}

TEST(W32UtilSecurity, OnlyAdministratorsOwningAndWritingCount)
{
   const Case cases[] = {
      {"the program folder's own list", L"O:" INSTALLER L"D:P(A;;FA;;;" INSTALLER L")"
       L"(A;;0x1301bf;;;SY)(A;;0x1301bf;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)",
       true, ""},
      {"a folder made by an administrator", L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)",
       true, ""},
      {"a denial changes nothing", L"O:SYD:(D;;FA;;;BU)(A;;FA;;;SY)", true, ""},
      {"owned by a user", L"O:BUD:(A;;FA;;;SY)(A;;FA;;;BA)", false, "owned by"},
      {"a folder made under ProgramData", L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;CI;0x6;;;BU)",
       false, "writable by"},
      {"everyone may change it", L"O:BAD:(A;;FA;;;SY)(A;;0x10000;;;WD)", false, "writable by"},
      {"a user may change its list", L"O:BAD:(A;;FA;;;BA)(A;;WD;;;AU)", false, "writable by"},
   };
   for (const Case &c : cases) {
      std::string why;
      EXPECT_EQ(Decide(c.sddl, &why), c.adminOnly) << c.what << ": " << why;
      if (!c.adminOnly) {
         EXPECT_NE(why.find(c.because), std::string::npos) << c.what << ": " << why;
      }
   }
}

TEST(W32UtilSecurity, NoListAtAllLetsAnyoneChangeIt)
{
   // Built by hand: not every system's SDDL reader makes a null list.
   SECURITY_DESCRIPTOR sd;
   ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
   BYTE system[SECURITY_MAX_SID_SIZE];
   DWORD size = sizeof system;
   ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
   ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, system, FALSE));
   ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
   std::string why;
   EXPECT_FALSE(W32Util_DescriptorIsAdminOnly(&sd, &why));
   EXPECT_NE(why.find("no access list"), std::string::npos) << why;
}

TEST(W32UtilSecurity, TheAdminOnlyListPassesItsOwnCheckAndIsNotInherited)
{
   std::string narrow = W32UTIL_ADMIN_ONLY_SDDL;
   std::wstring sddl(narrow.begin(), narrow.end());
   std::string why;
   EXPECT_TRUE(Decide(sddl.c_str(), &why)) << why;

   PSECURITY_DESCRIPTOR sd = nullptr;
   ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                    &sd, nullptr));
   SECURITY_DESCRIPTOR_CONTROL control = 0;
   DWORD revision = 0;
   ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
   EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "the parent's list must not flow in";
   LocalFree(sd);
}

}  // namespace
