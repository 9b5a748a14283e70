// Rotation of a file's older copies by renaming and by renumbering.
#include <cerrno>

#include "fileTestUtil.h"
#include "lib/file/file.h"
#include "lib/misc/platFault.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class FileRotateTest : public FileTestDir {};

TEST_F(FileRotateTest, RenameMovesEachCopyUpAndDropsTheOldest)
{
   WriteFile(P("x.log"), "current");
   WriteFile(P("x-0.log"), "zero");
   WriteFile(P("x-1.log"), "one");
   WriteFile(P("x-2.log"), "two");
   char *newName = nullptr;
   File_Rotate(P("x.log").c_str(), 3, false, &newName);
   ASSERT_NE(newName, nullptr);
   EXPECT_EQ(newName, P("x-0.log"));
   free(newName);
   EXPECT_FALSE(Exists(P("x.log")));
   EXPECT_EQ(ReadFile(P("x-0.log")), "current");
   EXPECT_EQ(ReadFile(P("x-1.log")), "zero");
   EXPECT_EQ(ReadFile(P("x-2.log")), "one");
   EXPECT_FALSE(Exists(P("x-3.log")));
}

TEST_F(FileRotateTest, RenameKeepingNoCopiesLeavesEverythingInPlace)
{
   WriteFile(P("x.log"), "current");
   WriteFile(P("x-0.log"), "zero");
   char *newName = reinterpret_cast<char *>(1);
   File_Rotate(P("x.log").c_str(), 0, false, &newName);
   EXPECT_EQ(newName, nullptr);
   EXPECT_EQ(ReadFile(P("x.log")), "current");
   EXPECT_EQ(ReadFile(P("x-0.log")), "zero");
}

TEST_F(FileRotateTest, RenameWithGapsAndNoDot)
{
   WriteFile(P("name"), "current");
   WriteFile(P("name-1"), "one");
   char *newName = nullptr;
   File_Rotate(P("name").c_str(), 3, false, &newName);
   EXPECT_EQ(ReadFile(P("name-0")), "current");
   EXPECT_EQ(ReadFile(P("name-2")), "one");
   free(newName);
}

TEST_F(FileRotateTest, DotInADirectoryNameIsNotAnExtension)
{
   std::string dir = P("logs.d");
   ASSERT_TRUE(File_MakeDir(dir.c_str()));
   WriteFile(dir + "/name", "current");
   File_Rotate((dir + "/name").c_str(), 2, false, nullptr);
   EXPECT_EQ(ReadFile(dir + "/name-0"), "current");
}

TEST_F(FileRotateTest, MissingFileLeavesNoNewName)
{
   char *newName = reinterpret_cast<char *>(1);
   File_Rotate(P("absent.log").c_str(), 3, false, &newName);
   EXPECT_EQ(newName, nullptr);
}

TEST_F(FileRotateTest, RenameFailureIsLoggedAndRotationGoesOn)
{
   WriteFile(P("x.log"), "current");
   WriteFile(P("x-0.log"), "zero");
   PlatFault_Inject(PLAT_RENAME, EACCES);  // x-0 -> x-1 fails
   CaptureStderr();
   File_Rotate(P("x.log").c_str(), 2, false, nullptr);
   std::string log = GetCapturedStderr();
   EXPECT_NE(log.find("FILE: FileRotateByRename: failed to rename " + P("x-0.log") + " -> " +
                      P("x-1.log") + ": "),
             std::string::npos)
      << log;
   // The current file still moves to copy 0, in place of the copy that
   // could not move up.
   EXPECT_EQ(ReadFile(P("x-0.log")), "current");
   EXPECT_FALSE(Exists(P("x.log")));
}

TEST_F(FileRotateTest, RenumberTakesTheNextNumberAndDropsTheLowest)
{
   WriteFile(P("x.log"), "current");
   for (const char *n : {"x-3.log", "x-7.log", "x-10.log", "x-5.log.bak", "x-5a.log"}) {
      WriteFile(P(n), n);
   }
   char *newName = nullptr;
   File_Rotate(P("x.log").c_str(), 2, true, &newName);
   ASSERT_NE(newName, nullptr);
   EXPECT_EQ(newName, P("x-11.log"));
   free(newName);
   EXPECT_EQ(ReadFile(P("x-11.log")), "current");
   EXPECT_TRUE(Exists(P("x-10.log")));
   EXPECT_FALSE(Exists(P("x-3.log")));
   EXPECT_FALSE(Exists(P("x-7.log")));
   EXPECT_TRUE(Exists(P("x-5.log.bak")));
   EXPECT_TRUE(Exists(P("x-5a.log")));
}

TEST_F(FileRotateTest, RenumberStartsAtOne)
{
   WriteFile(P("x.log"), "current");
   File_Rotate(P("x.log").c_str(), 3, true, nullptr);
   EXPECT_EQ(ReadFile(P("x-1.log")), "current");
}

}  // namespace
