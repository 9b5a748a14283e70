// The host encoding on POSIX systems, which the locale of the environment
// decides: processes started with locales of their own load a file.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/testFiles.h"

TEST(DictionaryPosix, CAndPosixLocalesReadUtf8Files)
{
   // What a service started without a locale gets: the file is UTF-8 all the same.
   testutil::TempDir dir;
   std::string path = dir / "test.ini";
   testutil::WriteFile(path, "name = caf\xC3\xA9\n");
   const std::vector<std::vector<std::string>> environments = {
      {"LC_ALL=C"},
      {"LC_ALL=POSIX"},
      {"LC_ALL=", "LC_CTYPE=POSIX", "LANG=C.UTF-8"},
      {"LC_ALL=", "LC_CTYPE=", "LANG="},
   };
   for (const std::vector<std::string> &env : environments) {
      testutil::RunOptions options;
      options.env = env;
      testutil::RunResult r = testutil::Run({DICTIONARY_LOADER, path, "name"}, options);
      ASSERT_TRUE(r.exit.Exited()) << env[0];
      ASSERT_EQ(r.exit.Code(), 0) << r.err;
      EXPECT_EQ(r.out, "UTF-8\nloaded\ncaf\xC3\xA9\n") << env[0] << " " << env.back();
   }
}
