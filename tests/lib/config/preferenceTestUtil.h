// The fixture of the preference store's tests: temporary common and user
// directories in place of the machine's, and the log captured.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

#include "lib/config/preference.h"
#include "lib/file/file.h"
#include "lib/misc/productState.h"
#include "tests/lib/user/userTestUtil.h"
#include "tests/support/testFiles.h"
#include "tests/support/testLog.h"

namespace preftest {

class Preferences : public ::testing::Test {
protected:
   void SetUp() override
   {
      Preference_Exit();
      saved_[0] = Get("SALVOR_APPDATA_PATH");
      saved_[1] = Get("XDG_CONFIG_HOME");
      usertest::SetEnv("SALVOR_APPDATA_PATH", (dir / "etc").c_str());
      usertest::SetEnv("XDG_CONFIG_HOME", (dir / "home").c_str());
      std::filesystem::create_directories(dir / "etc");
      // As the store joins them.
      common = dir / "etc" DIRSEPS "Quillon" DIRSEPS + ProductState_GetName();
      user = dir / "home" DIRSEPS "Quillon";
   }
   void TearDown() override
   {
      Preference_Exit();
      Restore("SALVOR_APPDATA_PATH", saved_[0]);
      Restore("XDG_CONFIG_HOME", saved_[1]);
   }
   static std::string Get(const char *name)
   {
      const char *v = getenv(name);
      return v != nullptr ? std::string(1, '=') + v : "";
   }
   static void Restore(const char *name, const std::string &saved)
   {
      usertest::SetEnv(name, saved.empty() ? nullptr : saved.c_str() + 1);
   }
   void Write(const std::string &dirPath, const std::string &file, const std::string &text)
   {
      std::filesystem::create_directories(dirPath);
      testutil::WriteFile(dirPath + DIRSEPS + file, text);
   }
   std::string String(const char *key, const char *def = "default")
   {
      char *v = Preference_GetString(def, key);
      std::string s = v != nullptr ? v : "(null)";
      free(v);
      return s;
   }

   testutil::TempDir dir;
   testutil::LogCapture log;
   std::string common, user;

private:
   std::string saved_[2];
};

}  // namespace preftest
