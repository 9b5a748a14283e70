// Which file a handle or a name stands for: identities and link counts,
// removal below an opened directory, walks of existing trees and the
// regular-file check.
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>

#include "lib/file/file.h"
#include "lib/file/fileIO.h"
#include "lib/file/filePlatform.h"
#include "tests/lib/file/fileTestUtil.h"
#include "tests/support/testPlatform.h"

namespace {

class FileIdentity : public FileTestDir {
protected:
   void SetUp() override
   {
      FileTestDir::SetUp();
      FileIO_InitFile(&file);
   }
   void TearDown() override
   {
      FileIO_CloseFile(&file);
      File_CloseDirHandle(dir);
      FileTestDir::TearDown();
   }
   /*
    * Opens P("a/b/name") into `file` and the directory a/b into `dir`. The
    * file may be renamed and deleted while open (Windows asks for that).
    */
   void OpenBoth(const std::string &name)
   {
      ASSERT_EQ(FileIO_OpenPath(&file, P("a/b/" + name).c_str(),
                                FILEIO_ACCESS_READ | FILEIO_SHARE_DELETE, FILEIO_ACTION_OPEN),
                FILEIO_SUCCESS);
      dir = File_OpenExistingDirTree(dir_.c_str(), levels, 2);
      ASSERT_NE(dir, FILE_INVALID_HANDLE);
   }

   const char *levels[2] = {"a", "b"};
   FileIOFile file;
   FileHandle dir = FILE_INVALID_HANDLE;
};

TEST_F(FileIdentity, RemovesANameOnlyWhileItStandsForTheOpenFile)
{
   std::filesystem::create_directories(P("a/b"));
   WriteFile(P("a/b/f"), "mine");
   OpenBoth("f");
   FileId id;
   uint64_t links = 0;
   ASSERT_TRUE(FileIO_GetIdentity(&file, &id, &links));
   EXPECT_EQ(links, 1u);

   // Another file under the same name, then a link to the open file.
   std::filesystem::rename(P("a/b/f"), P("a/b/kept"));
   WriteFile(P("a/b/f"), "theirs");
   EXPECT_EQ(File_RemoveAtIfSame(dir, "f", &id), ESTALE);
   EXPECT_EQ(ReadFile(P("a/b/f")), "theirs");
   std::filesystem::remove(P("a/b/f"));
   std::error_code linkError;
   std::filesystem::create_symlink(P("a/b/kept"), P("a/b/f"), linkError);
   // Wine makes no links; Windows needs the right to make them.
   if (!linkError || !TEST_ON_WINDOWS) {
      ASSERT_FALSE(linkError) << linkError.message();
      EXPECT_EQ(File_RemoveAtIfSame(dir, "f", &id), ESTALE) << "a link is looked at, not followed";
      EXPECT_EQ(ReadFile(P("a/b/kept")), "mine");
   }

   EXPECT_EQ(File_RemoveAtIfSame(dir, "gone", &id), ENOENT);
   EXPECT_EQ(File_RemoveAtIfSame(dir, "kept", &id), 0);
   if (TestUnderWine()) {
      // Wine deletes the name only with the file's last handle, and counts
      // it until then.
      return;
   }
   EXPECT_FALSE(Exists(P("a/b/kept")));
   ASSERT_TRUE(FileIO_GetIdentity(&file, &id, &links));
   EXPECT_EQ(links, 0u) << "the open file has no name left";
}

TEST_F(FileIdentity, ExistingTreeWalkMakesNothingAndFollowsNoLink)
{
   EXPECT_EQ(File_OpenExistingDirTree(dir_.c_str(), levels, 2), FILE_INVALID_HANDLE);
   EXPECT_FALSE(Exists(P("a"))) << "nothing is made";
   std::filesystem::create_directories(P("elsewhere/b"));
   std::error_code linkError;
   std::filesystem::create_directory_symlink(P("elsewhere"), P("a"), linkError);
   if (linkError && TEST_ON_WINDOWS) {
      GTEST_SKIP() << "no directory link could be made: " << linkError.message();
   }
   ASSERT_FALSE(linkError) << linkError.message();
   EXPECT_EQ(File_OpenExistingDirTree(dir_.c_str(), levels, 2), FILE_INVALID_HANDLE);
   EXPECT_EQ(File_LastError(), FILEPLAT_ERR_PATH_NOT_FOUND);
}

TEST_F(FileIdentity, OnlyARegularFileIsRegular)
{
   WriteFile(P("file"), "x");
   EXPECT_EQ(File_CheckRegular(P("file").c_str()), 0);
   EXPECT_EQ(File_CheckRegular(dir_.c_str()), EISDIR);
   EXPECT_EQ(File_CheckRegular(TEST_ON_WINDOWS ? "NUL" : "/dev/null"), EINVAL);
   EXPECT_EQ(File_CheckRegular(P("missing").c_str()), ENOENT);
}

}  // namespace
