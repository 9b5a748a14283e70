// Work below an open directory and on open handles: whole-record appends,
// listings, opens and removals below a directory handle, and the program
// check, through real files in a scratch directory.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "lib/file/file.h"
#include "lib/file/fileDir.h"
#include "lib/file/fileIO.h"
#include "lib/misc/platFault.h"
#include "tests/lib/file/fileTestUtil.h"
#include "tests/support/testPlatform.h"

namespace {

namespace fs = std::filesystem;

class FileAppend : public FileTestDir {
protected:
   void TearDown() override
   {
      FileIO_CloseHandle(file);
      FileTestDir::TearDown();
   }
   void Open()
   {
      ASSERT_EQ(FileIO_OpenAppend(P("journal").c_str(), 0640, &file), 0);
      ASSERT_NE(file, FILE_INVALID_HANDLE);
   }
   int Append(const std::string &text)
   {
      return FileIO_AppendWhole(file, text.data(), text.size());
   }

   FileHandle file = FILE_INVALID_HANDLE;
};

TEST_F(FileAppend, RecordsLandWholeAtTheEndOfWhatIsThere)
{
   WriteFile(P("journal"), "old\n");
   Open();
   EXPECT_EQ(Append("one\n"), 0);
   EXPECT_EQ(Append("two\n"), 0);
   EXPECT_EQ(ReadFile(P("journal")), "old\none\ntwo\n");
}

TEST_F(FileAppend, AShortWriteIsCutBackAndReportedAsDiskFull)
{
   Open();
   ASSERT_EQ(Append("first\n"), 0);
   intptr_t handle = (intptr_t)file;
   PlatFault_LimitTo(&handle, 1);
   PlatFault_Inject(PLAT_WRITE, ENOSPC, 0, 1, 3);
   EXPECT_EQ(Append("second\n"), ENOSPC);
   EXPECT_EQ(LastErrno(), ENOSPC);
   EXPECT_EQ(ReadFile(P("journal")), "first\n") << "half a record stays behind";
   EXPECT_EQ(Append("third\n"), 0);
   EXPECT_EQ(ReadFile(P("journal")), "first\nthird\n");
}

TEST_F(FileAppend, AFailedWriteLeavesTheFileAsItWas)
{
   Open();
   ASSERT_EQ(Append("first\n"), 0);
   PlatFault_Inject(PLAT_WRITE, EACCES);
   EXPECT_EQ(Append("second\n"), EACCES);
   EXPECT_EQ(ReadFile(P("journal")), "first\n");
}

TEST_F(FileAppend, AnOpenRefusedByTheSystemReportsWhy)
{
   PlatFault_Inject(PLAT_OPEN, EACCES);
   EXPECT_EQ(FileIO_OpenAppend(P("journal").c_str(), 0640, &file), EACCES);
   EXPECT_EQ(file, FILE_INVALID_HANDLE);
   EXPECT_EQ(LastErrno(), EACCES);
   EXPECT_EQ(FileIO_OpenAppend(P("no/such/dir").c_str(), 0640, &file), ENOENT);
}

// The size of an open file and the free space of a file system.
using FileQueries = FileTestDir;

TEST_F(FileQueries, TheSizeOfAnOpenRecordFollowsItsWrites)
{
   FileIOFile record;
   FileIO_InitFile(&record);
   uint64_t size = 1;
   EXPECT_NE(FileIO_GetSize(&record, &size), 0) << "a closed record has no size";
   ASSERT_EQ(FileIO_OpenPath(&record, P("f").c_str(), FILEIO_ACCESS_WRITE,
                             FILEIO_ACTION_CREATE_ALWAYS),
             FILEIO_SUCCESS);
   size_t written = 0;
   ASSERT_EQ(FileIO_WriteBytes(&record, "12345", 5, &written), FILEIO_SUCCESS);
   EXPECT_EQ(FileIO_GetSize(&record, &size), 0);
   EXPECT_EQ(size, 5u);
   FileIO_CloseFile(&record);
}

TEST_F(FileQueries, FreeSpaceIsKnownForAnExistingDirectoryOnly)
{
   uint64_t freeBytes = 0;
   EXPECT_EQ(File_FreeBytes(dir_.c_str(), &freeBytes), 0);
   EXPECT_GT(freeBytes, 0u);
   EXPECT_EQ(File_FreeBytes(P("missing").c_str(), &freeBytes), ENOENT);
}

// Listings, opens and removals below a directory handle.
class FileBelowDir : public FileTestDir {
protected:
   void TearDown() override
   {
      File_CloseDirHandle(sub);
      File_CloseDirHandle(top);
      FileTestDir::TearDown();
   }
   void OpenTop()
   {
      top = File_OpenExistingDirTree(dir_.c_str(), nullptr, 0);
      ASSERT_NE(top, FILE_INVALID_HANDLE);
   }
   // The listing of `dir`, by name.
   std::vector<FileDirEntry> List(FileHandle dir)
   {
      std::vector<FileDirEntry> entries;
      EXPECT_EQ(File_ListDirAt(dir, &entries), 0);
      std::sort(entries.begin(), entries.end(), [](const FileDirEntry &a, const FileDirEntry &b) {
         return std::string(a.name) < b.name;
      });
      return entries;
   }
   // Makes a link, or says why the platform cannot here.
   bool MadeLink(const std::string &target, const std::string &link, bool toDir)
   {
      std::error_code error;
      if (toDir) {
         fs::create_directory_symlink(target, link, error);
      } else {
         fs::create_symlink(target, link, error);
      }
      // Wine makes no links; Windows needs the right to make them.
      EXPECT_TRUE(!error || TEST_ON_WINDOWS) << error.message();
      return !error;
   }

   FileHandle top = FILE_INVALID_HANDLE;
   FileHandle sub = FILE_INVALID_HANDLE;
};

TEST_F(FileBelowDir, ListsEntriesAsTheyAreWithoutDotsOrLinksFollowed)
{
   WriteFile(P("file"), "12345");
   fs::create_directory(P("dir"));
   WriteFile(P("done"), "x");
   fs::permissions(P("done"), fs::perms::owner_write, fs::perm_options::remove);
   bool link = MadeLink(P("dir"), P("link"), true);
   OpenTop();
   std::vector<FileDirEntry> entries = List(top);
   ASSERT_EQ(entries.size(), link ? 4u : 3u);
   EXPECT_STREQ(entries[0].name, "dir");
   EXPECT_TRUE(entries[0].isDir);
   EXPECT_FALSE(entries[0].isFile);
   EXPECT_STREQ(entries[1].name, "done");
   EXPECT_TRUE(entries[1].isFile);
   EXPECT_FALSE(entries[1].ownerWritable);
   EXPECT_STREQ(entries[2].name, "file");
   EXPECT_TRUE(entries[2].isFile);
   EXPECT_TRUE(entries[2].ownerWritable);
   EXPECT_EQ(entries[2].size, 5u);
   EXPECT_GT(entries[2].mtimeSec, 1600000000);
   if (link) {
      EXPECT_STREQ(entries[3].name, "link");
      EXPECT_FALSE(entries[3].isDir) << "a link to a directory is no directory of the tree";
      EXPECT_FALSE(entries[3].isFile);
   }
   // The identity is the one a removal checks.
   EXPECT_EQ(File_RemoveAtIfSame(top, "done", &entries[2].id), ESTALE);
   EXPECT_EQ(File_RemoveAtIfSame(top, "file", &entries[2].id), 0);
   fs::permissions(P("done"), fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(FileBelowDir, ListsAgainFromTheStartAndLeavesTheHandleOpen)
{
   fs::create_directory(P("a"));
   OpenTop();
   EXPECT_EQ(List(top).size(), 1u);
   EXPECT_EQ(List(top).size(), 1u);
   EXPECT_EQ(File_OpenDirAt(top, "a", &sub), 0);
}

TEST_F(FileBelowDir, OpensAndRemovesDirectoriesBelowButNeverThroughALink)
{
   fs::create_directories(P("a/inner"));
   WriteFile(P("a/inner/f"), "");
   bool link = MadeLink(P("a"), P("link"), true);
   OpenTop();
   ASSERT_EQ(File_OpenDirAt(top, "a", &sub), 0);
   std::vector<FileDirEntry> entries = List(sub);
   ASSERT_EQ(entries.size(), 1u);
   EXPECT_STREQ(entries[0].name, "inner");
   File_CloseDirHandle(sub);
   sub = FILE_INVALID_HANDLE;
   if (link) {
      EXPECT_NE(File_OpenDirAt(top, "link", &sub), 0);
      EXPECT_EQ(sub, FILE_INVALID_HANDLE);
   }
   EXPECT_EQ(File_OpenDirAt(top, "missing", &sub), ENOENT);

   ASSERT_EQ(File_OpenDirAt(top, "a", &sub), 0);
   EXPECT_EQ(File_RemoveDirAt(sub, "inner"), ENOTEMPTY);
   fs::remove(P("a/inner/f"));
   EXPECT_EQ(File_RemoveDirAt(sub, "inner"), 0);
   EXPECT_FALSE(Exists(P("a/inner")));
}

TEST_F(FileBelowDir, FailuresOfTheSystemReachTheCaller)
{
   fs::create_directory(P("a"));
   OpenTop();
   std::vector<FileDirEntry> entries;
   PlatFault_Inject(PLAT_LISTDIR, EACCES);
   EXPECT_EQ(File_ListDirAt(top, &entries), EACCES);
   EXPECT_EQ(LastErrno(), EACCES);
   PlatFault_Inject(PLAT_RMDIR, EACCES);
   EXPECT_EQ(File_RemoveDirAt(top, "a"), EACCES);
   EXPECT_TRUE(Exists(P("a")));
}

// Whether a path names a program that can be started.
class FileProgram : public FileTestDir {
protected:
   FileProgramCheck Check(const std::string &path)
   {
      err = -1;
      return File_CheckProgram(path.c_str(), &err);
   }

   int err = -1;
};

TEST_F(FileProgram, TellsWhatIsWrongWithAPath)
{
   std::string program = P(TEST_ON_WINDOWS ? "hook.cmd" : "hook");
   WriteFile(program, TEST_ON_WINDOWS ? "@exit 0\r\n" : "#!/bin/sh\n");
   fs::permissions(program, fs::perms::owner_exec, fs::perm_options::add);
   std::string plain = P(TEST_ON_WINDOWS ? "notes.txt" : "notes");
   WriteFile(plain, "");
   fs::create_directory(P("dir.exe"));

   EXPECT_EQ(Check(program), FILE_PROGRAM_OK);
   EXPECT_EQ(err, 0);
   EXPECT_EQ(Check("hook"), FILE_PROGRAM_RELATIVE);
   EXPECT_EQ(Check(P("missing")), FILE_PROGRAM_MISSING);
   EXPECT_EQ(err, ENOENT);
   EXPECT_EQ(Check(P("dir.exe")), FILE_PROGRAM_NOT_FILE);
   EXPECT_EQ(Check(plain), FILE_PROGRAM_NOT_EXECUTABLE);
   EXPECT_EQ(err, 0);
}

// Links on POSIX alone: Wine makes none.
TEST_F(FileProgram, ALinkToAProgramWillDoButNotADanglingOne)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP();
   }
   WriteFile(P("hook"), "#!/bin/sh\n");
   fs::permissions(P("hook"), fs::perms::owner_exec, fs::perm_options::add);
   fs::create_symlink(P("hook"), P("link"));
   fs::create_symlink(P("gone"), P("dangling"));
   EXPECT_EQ(Check(P("link")), FILE_PROGRAM_OK);
   EXPECT_EQ(Check(P("dangling")), FILE_PROGRAM_MISSING);
}

TEST_F(FileAppend, RefusesALinkByTheJournalsName)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP();
   }
   WriteFile(P("target"), "kept");
   fs::create_symlink(P("target"), P("journal"));
   EXPECT_EQ(FileIO_OpenAppend(P("journal").c_str(), 0640, &file), ELOOP);
   EXPECT_EQ(ReadFile(P("target")), "kept");
}
}  // namespace
