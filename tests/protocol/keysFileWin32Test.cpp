// Loading the keys file on Windows: only a file that nobody but SYSTEM,
// the Administrators and the reading user may read. (Wine keeps no DACL
// as given: it makes the file's mode of it, and its DACL of the mode, so
// these cases hold on both.) Each file gets its DACL from SDDL.
#include <gtest/gtest.h>

#include <string>

#include "lib/file/file.h"
#include "protocol/salvorKeysFile.h"
#include "tests/support/testFiles.h"

namespace {

using namespace testutil;

TEST(KeysFileWin32, OnlySystemAndAdministratorsMayRead)
{
   TempDir dir;
   std::string path = dir / "keys";
   WriteFile(path, SalvorKeys_FormatLine("a", RandomBytes(SALVOR_SEAL_KEY_SIZE, 1).data()) + "\n");
   // The user the test runs as (ME), who reads the file, may read it too.
   struct Case {
      const char *sddl;
      bool isPrivate;
   } cases[] = {
      {"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;ME)(D;;FR;;;WD)", true},
      {"D:P(A;;FA;;;SY)(A;;FA;;;ME)(A;;FR;;;WD)", false},
   };
   for (const Case &c : cases) {
      ASSERT_TRUE(SetFileDacl(path, c.sddl));
      EXPECT_EQ(File_CheckPrivate(path.c_str()), c.isPrivate ? 0 : EACCES)
         << (&c - cases);
      SalvorKeys keys;
      std::string why;
      EXPECT_EQ(SalvorKeys_Load(path.c_str(), &keys, &why), c.isPrivate) << why;
      SalvorKeys_Free(&keys);
   }
   SetFileDacl(path, "D:P(A;;FA;;;WD)");  // so that the directory's removal may delete it
}

}  // namespace
