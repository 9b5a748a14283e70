// Loading the keys file on Windows: only a file that nobody but SYSTEM,
// the Administrators and the reading user may read. (Wine keeps no DACL
// as given: it makes the file's mode of it, and its DACL of the mode, so
// these cases hold on both.) Each file gets its DACL from SDDL.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "lib/file/file.h"
#include "protocol/salvorKeysFile.h"
#include "tests/support/testFiles.h"
#include "tests/support/testWide.h"

namespace {

using namespace testutil;

// The string form (S-1-5-...) of the SID of the user the process runs as.
std::string
CurrentUserSid()
{
   HANDLE token = nullptr;
   if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      return "";
   }
   BYTE buf[256];
   DWORD size = 0;
   std::string sid;
   LPSTR text = nullptr;
   if (GetTokenInformation(token, TokenUser, buf, sizeof buf, &size) &&
       ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(buf)->User.Sid, &text)) {
      sid = text;
      LocalFree(text);
   }
   CloseHandle(token);
   return sid;
}

// Gives the file at path the protected DACL that sddl describes.
void
SetDacl(const std::string &path, const wchar_t *sddl)
{
   PSECURITY_DESCRIPTOR sd = nullptr;
   ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd,
                                                                    nullptr));
   BOOL present = FALSE, defaulted = FALSE;
   PACL dacl = nullptr;
   ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
   std::wstring wide = Wide(path);
   DWORD err = SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT,
                                     DACL_SECURITY_INFORMATION |
                                        PROTECTED_DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, dacl, nullptr);
   LocalFree(sd);
   ASSERT_EQ(err, (DWORD)ERROR_SUCCESS);
}

TEST(KeysFileWin32, OnlySystemAndAdministratorsMayRead)
{
   TempDir dir;
   std::string path = dir / "keys";
   WriteFile(path, SalvorKeys_FormatLine("a", RandomBytes(SALVOR_SEAL_KEY_SIZE, 1).data()) + "\n");
   // The user the test runs as, who reads the file, may read it too.
   std::wstring me = Wide(CurrentUserSid());
   struct Case {
      std::wstring sddl;
      bool isPrivate;
   } cases[] = {
      {L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + me + L")(D;;FR;;;WD)", true},
      {L"D:P(A;;FA;;;SY)(A;;FA;;;" + me + L")(A;;FR;;;WD)", false},
   };
   for (const Case &c : cases) {
      SetDacl(path, c.sddl.c_str());
      EXPECT_EQ(File_CheckPrivate(path.c_str()), c.isPrivate ? 0 : EACCES)
         << (&c - cases);
      SalvorKeys keys;
      std::string why;
      EXPECT_EQ(SalvorKeys_Load(path.c_str(), &keys, &why), c.isPrivate) << why;
      SalvorKeys_Free(&keys);
   }
   SetDacl(path, L"D:P(A;;FA;;;WD)");  // so that the directory's removal may delete it
}

}  // namespace
