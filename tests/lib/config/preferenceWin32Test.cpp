// The preference store's folders on Windows: the shell's folders, the
// product key's "AppDataPath" value that moves the common one, and the
// common files that only administrators may have written. The tests name
// a product of their own, so the product key they write is never the
// installed product's.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <windows.h>
#include <aclapi.h>

#include "lib/config/preference.h"
#include "lib/config/preferencePlatform.h"
#include "lib/file/file.h"
#include "lib/misc/productState.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"
#include "tests/lib/user/userTestUtil.h"
#include "tests/support/testFiles.h"
#include "tests/support/testLog.h"
#include "tests/support/testPlatform.h"

namespace {

// Without the tests' stand-ins for the folders, restored at the end.
class PreferenceWin32 : public testing::Test {
protected:
   void SetUp() override
   {
      ProductState_SetName("salvor preference test product");
      for (int i = 0; i < 2; i++) {
         const char *v = std::getenv(VARS[i]);
         saved_[i] = v != nullptr ? std::string(1, '=') + v : "";
         usertest::SetEnv(VARS[i], nullptr);
      }
   }
   void TearDown() override
   {
      Preference_Exit();
      for (int i = 0; i < 2; i++) {
         usertest::SetEnv(VARS[i], saved_[i].empty() ? nullptr : saved_[i].c_str() + 1);
      }
   }

   static constexpr const char *VARS[2] = {"SALVOR_APPDATA_PATH", "XDG_CONFIG_HOME"};
   std::string saved_[2];
};

bool
HasDriveLetter(const std::string &path)
{
   return path.size() >= 3 && std::isalpha((unsigned char)path[0]) && path[1] == ':' &&
          path[2] == '\\';
}

// The product key, made for a test and removed with what the test made.
class ProductKey {
public:
   ProductKey()
   {
      std::string name = std::string("SOFTWARE\\Quillon, Inc.\\") + ProductState_GetName();
      UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(name.c_str()));
      DWORD disposition = 0;
      status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide.get(), 0, nullptr, 0,
                               KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, &disposition);
      created_ = status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
      if (status == ERROR_SUCCESS &&
          RegQueryValueExW(key_, L"AppDataPath", nullptr, nullptr, nullptr, nullptr) ==
             ERROR_SUCCESS) {
         status = ERROR_ALREADY_EXISTS;  // an installed product's: not ours to change
      }
   }
   ~ProductKey()
   {
      if (key_ == nullptr) {
         return;
      }
      if (status == ERROR_SUCCESS) {
         RegDeleteValueW(key_, L"AppDataPath");
      }
      RegCloseKey(key_);
      if (created_) {
         std::string name = std::string("SOFTWARE\\Quillon, Inc.\\") + ProductState_GetName();
         UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(name.c_str()));
         RegDeleteKeyW(HKEY_LOCAL_MACHINE, wide.get());
         RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quillon, Inc.");  // only when empty
      }
   }
   ProductKey(const ProductKey &) = delete;
   ProductKey &operator=(const ProductKey &) = delete;

   bool Set(const std::string &value)
   {
      UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(value.c_str()));
      DWORD size = (DWORD)((wcslen(wide.get()) + 1) * sizeof(wchar_t));
      return RegSetValueExW(key_, L"AppDataPath", 0, REG_SZ, (const BYTE *)wide.get(), size) ==
             ERROR_SUCCESS;
   }

   LONG status;

private:
   HKEY key_ = nullptr;
   bool created_ = false;
};

}  // namespace

TEST_F(PreferenceWin32, ShellFoldersAreDriveLetterPathsInUtf8)
{
   std::string user;
   ASSERT_TRUE(PreferencePlat_UserAppDataFolder(&user));
   EXPECT_TRUE(HasDriveLetter(user)) << user;
   EXPECT_TRUE(std::filesystem::is_directory(user)) << user;
   std::string common;
   ASSERT_TRUE(PreferencePlat_CommonAppDataFolder(&common));
   EXPECT_TRUE(std::filesystem::is_directory(common)) << common;
   EXPECT_NE(user, common);
}

TEST_F(PreferenceWin32, AnAppDataPathValueOfAnyLengthMovesTheCommonDirectory)
{
   ProductKey product;
   if (product.status == ERROR_ACCESS_DENIED || product.status == ERROR_ALREADY_EXISTS) {
      GTEST_SKIP() << "the machine's product key cannot be changed here (" << product.status
                   << ")";
   }
   ASSERT_EQ(product.status, ERROR_SUCCESS);
   std::string longer = "C:\\" + std::string(400, 'x') + "\\\xC3\xA9t\xC3\xA9";
   ASSERT_TRUE(product.Set(longer));
   std::string common;
   ASSERT_TRUE(PreferencePlat_CommonAppDataFolder(&common));
   EXPECT_EQ(common, longer);

   testutil::TempDir dir;
   std::string folder = dir / "appdata";
   std::string files = folder + DIRSEPS "Quillon" DIRSEPS + ProductState_GetName();
   std::filesystem::create_directories(folder);
   ASSERT_TRUE(product.Set(folder));
   testutil::LogCapture log;
   ASSERT_TRUE(Preference_Init());
   EXPECT_TRUE(std::filesystem::is_directory(files)) << "made where the value points";
   EXPECT_TRUE(log.Contains("PREF Optional preferences file not found at " + files +
                            DIRSEPS "settings.ini"))
      << log.Text();
   // The tests' stand-in comes first.
   usertest::SetEnv("SALVOR_APPDATA_PATH", (dir / "other").c_str());
   ASSERT_TRUE(PreferencePlat_CommonAppDataFolder(&common));
   EXPECT_EQ(common, dir / "other");
}

// Any user may make folders under ProgramData; the service, as the system
// account, must not take its settings (where it writes, say) from one.
TEST_F(PreferenceWin32, ACommonFileThatUsersCouldHaveWrittenIsSkipped)
{
   ProductKey product;
   if (product.status == ERROR_ACCESS_DENIED || product.status == ERROR_ALREADY_EXISTS) {
      GTEST_SKIP() << "the product key cannot be changed here (" << product.status << ")";
   }
   ASSERT_EQ(product.status, ERROR_SUCCESS);
   testutil::TempDir dir;
   std::string folder = dir / "appdata";
   std::string files = folder + DIRSEPS "Quillon" DIRSEPS + ProductState_GetName();
   // Made by this process's user, as a planted folder would be.
   std::filesystem::create_directories(files);
   testutil::WriteFile(files + DIRSEPS "settings.ini", "tmpDirectory = C:\\planted\n");
   testutil::WriteFile(files + DIRSEPS "config.ini", "planted = yes\n");
   ASSERT_TRUE(product.Set(folder));
   testutil::LogCapture log;
   ASSERT_TRUE(Preference_Init());
   char *tmp = Preference_GetString(nullptr, "tmpDirectory");
   EXPECT_EQ(tmp, nullptr) << tmp;
   std::free(tmp);
   EXPECT_FALSE(Preference_GetBool(false, "planted"));
   EXPECT_TRUE(log.Contains("PREF Skipping preferences file " + files + DIRSEPS "settings.ini: "))
      << log.Text();
   EXPECT_EQ(log.Count("PREF Skipping preferences file " + files + DIRSEPS "config.ini: "), 2u);
}

// The folders the store makes let users read, not write, and take nothing
// from the folder they are made in.
TEST_F(PreferenceWin32, CommonFoldersAreMadeWithAProtectedList)
{
   if (TestUnderWine()) {
      GTEST_SKIP() << "Wine does not apply the list a directory is made with";
   }
   testutil::TempDir dir;
   std::string made = dir / "made";
   ASSERT_TRUE(PreferencePlat_MakeCommonDirectory(made)) << GetLastError();
   UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(made.c_str()));
   PSECURITY_DESCRIPTOR sd = nullptr;
   PACL dacl = nullptr;
   ASSERT_EQ(GetNamedSecurityInfoW(wide.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, &dacl, nullptr, &sd),
             (DWORD)ERROR_SUCCESS);
   SECURITY_DESCRIPTOR_CONTROL control = 0;
   DWORD revision = 0;
   GetSecurityDescriptorControl(sd, &control, &revision);
   ASSERT_NE(dacl, nullptr);
   if ((control & SE_DACL_PROTECTED) == 0 && dacl->AceCount == 0) {
      LocalFree(sd);
      GTEST_SKIP() << "this system keeps no access lists on its files";
   }
   EXPECT_NE(control & SE_DACL_PROTECTED, 0);
   EXPECT_EQ(dacl->AceCount, 3u);
   LocalFree(sd);
}
