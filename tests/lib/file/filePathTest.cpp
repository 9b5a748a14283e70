// Path layer: retrying primitives and their budgets, error mapping,
// directory chains, listings and path strings.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "fileTestUtil.h"
#include "lib/file/file.h"
#include "lib/file/fileInt.h"
#include "lib/file/filePlatform.h"
#include "lib/misc/platFault.h"
#include "tests/support/testPlatform.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class FilePathTest : public FileTestDir {};

const char EXPIRED[] = "retry time expired";

TEST_F(FilePathTest, DeletionOfMissingFileDoesNotRetry)
{
   long start = NowMs();
   CaptureStderr();
   EXPECT_EQ(FileDeletionRetry(P("none").c_str(), false, 500), ENOENT);
   int err = LastErrno();
   EXPECT_EQ(GetCapturedStderr().find(EXPIRED), std::string::npos);
   EXPECT_EQ(err, ENOENT);
   EXPECT_LT(NowMs() - start, 50);
}

TEST_F(FilePathTest, HeldFileIsRetriedUntilBudgetIsSpent)
{
   WriteFile(P("held"), "x");
   PlatFault_Inject(PLAT_UNLINK, EACCES, 0, -1);
   long start = NowMs();
   CaptureStderr();
   EXPECT_EQ(FileDeletionRetry(P("held").c_str(), false, 200), EACCES);
   long elapsed = NowMs() - start;
   EXPECT_NE(GetCapturedStderr().find("FILE: FileDeletionRetry: retry time expired; last error " +
                                      std::to_string(FILEPLAT_ERR_ACCESS_DENIED) + "\n"),
             std::string::npos);
   EXPECT_GE(elapsed, 200);
   EXPECT_LT(elapsed, 400);
   EXPECT_TRUE(Exists(P("held")));

   // A holder that lets go within the budget is waited for.
   PlatFault_Inject(PLAT_UNLINK, EBUSY, 0, 2);
   EXPECT_EQ(FileDeletionRetry(P("held").c_str(), false, 1000), 0);
   EXPECT_FALSE(Exists(P("held")));
}

TEST_F(FilePathTest, NullPathsGiveEfault)
{
   EXPECT_EQ(File_RenameRetry(nullptr, "x", 0), EFAULT);
   EXPECT_EQ(FileDeletionRetry(nullptr, false, 0), EFAULT);
   EXPECT_EQ(FileCreateDirectoryRetry(nullptr, 0777, 0), EFAULT);
   EXPECT_EQ(FileRemoveDirectoryRetry(nullptr, 0), EFAULT);
   EXPECT_EQ(FileAttributesRetry(nullptr, 0, nullptr), EFAULT);
   EXPECT_FALSE(File_PathExists(nullptr));
   EXPECT_EQ(LastErrno(), EFAULT);
}

TEST(FileMapPlatformError, TableAndUnknownCodes)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "errno values as platform codes; Win32's table is tested apart";
   }
   EXPECT_EQ(FileMapPlatformError("t", 0), 0);
   EXPECT_EQ(FileMapPlatformError("t", EPERM), EACCES);
   EXPECT_EQ(errno, EPERM);  // the platform code stays the last error
   EXPECT_EQ(FileMapPlatformError("t", ENOTEMPTY), ENOTEMPTY);
   CaptureStderr();
   EXPECT_EQ(FileMapPlatformError("Probe", ECHILD), EIO);
   EXPECT_NE(GetCapturedStderr().find("FILE: Probe unmapped error code 10\n"),
             std::string::npos);
   EXPECT_EQ(errno, ECHILD);
}

TEST_F(FilePathTest, RenameAndDirectoryPrimitives)
{
   WriteFile(P("a"), "new");
   WriteFile(P("b"), "old");
   EXPECT_EQ(File_Rename(P("a").c_str(), P("b").c_str()), 0);
   EXPECT_EQ(ReadFile(P("b")), "new");
   EXPECT_FALSE(Exists(P("a")));

   EXPECT_EQ(FileCreateDirectoryRetry(P("d").c_str(), 0777, 0), 0);
   WriteFile(P("d/f"), "");
   EXPECT_EQ(FileRemoveDirectoryRetry(P("d").c_str(), 0), ENOTEMPTY);
   EXPECT_EQ(File_Remove(P("d/f").c_str()), 0);
   EXPECT_EQ(File_Remove(P("d/f").c_str()), -1);
   EXPECT_EQ(LastErrno(), ENOENT);
   EXPECT_EQ(FileRemoveDirectoryRetry(P("d").c_str(), 0), 0);

   // Existing directory or file: "already exists" counts as made.
   EXPECT_TRUE(File_MakeDir(dir_.c_str()));
   EXPECT_TRUE(File_MakeDir(P("b").c_str()));
   PlatFault_Inject(PLAT_MKDIR, ENOSPC);
   EXPECT_FALSE(File_MakeDir(P("full").c_str()));
   EXPECT_EQ(errno, ENOSPC);
}

TEST_F(FilePathTest, OverlongDirectoryIsRefusedWithoutTheDisk)
{
   std::string path = P(std::string(PATH_MAX, 'x'));
   PlatFault_Inject(PLAT_MKDIR, EIO);
   EXPECT_EQ(FileCreateDirectoryRetry(path.c_str(), 0777, 0), ENAMETOOLONG);
   EXPECT_EQ(errno, ENAMETOOLONG);
   EXPECT_EQ(LastErrno(), ENAMETOOLONG);
   // The armed fault is still there: mkdir was never called.
   CaptureStderr();
   EXPECT_EQ(FileCreateDirectoryRetry(P("y").c_str(), 0777, 0), EIO);
   GetCapturedStderr();
}

TEST_F(FilePathTest, AttributesOfFilesAndDirectories)
{
   WriteFile(P("f"), "12345");
   FileAttrs attrs;
   ASSERT_EQ(FileAttributesRetry(P("f").c_str(), 0, &attrs), 0);
   EXPECT_EQ(attrs.size, 5u);
   EXPECT_EQ(attrs.type, FILE_TYPE_REGULAR);
   EXPECT_EQ(attrs.mode, 0666);
   EXPECT_GT(attrs.writeTime, 0);
   chmod(P("f").c_str(), 0444);
   ASSERT_EQ(FileAttributesRetry(P("f").c_str(), 0, &attrs), 0);
   EXPECT_EQ(attrs.mode, 0444);

   ASSERT_EQ(FileAttributesRetry(dir_.c_str(), 0, &attrs), 0);
   EXPECT_EQ(attrs.type, FILE_TYPE_DIRECTORY);
   EXPECT_EQ(attrs.mode, 0777);
   EXPECT_EQ(FileAttributesRetry(P("none").c_str(), 0, nullptr), ENOENT);

   EXPECT_TRUE(File_IsDir(dir_.c_str()));
   EXPECT_FALSE(File_IsDir(P("f").c_str()));
   EXPECT_TRUE(File_PathExists(P("f").c_str()));
   EXPECT_FALSE(File_PathExists(P("none").c_str()));
}

TEST_F(FilePathTest, MakeDirTreeCreatesEveryMissingLevel)
{
   std::string base = P("dumps");
   ASSERT_TRUE(File_MakeDir(base.c_str()));
   std::string leaf = base + "/10/0/0/1";
   char *first = nullptr;
   ASSERT_TRUE(File_MakeDirTree(leaf.c_str(), &first));
   ASSERT_NE(first, nullptr);
   EXPECT_EQ(std::string(first), base + "/10");
   free(first);
   EXPECT_TRUE(File_IsDir(leaf.c_str()));

   // All present: nothing created, nothing reported.
   ASSERT_TRUE(File_MakeDirTree((leaf + "/").c_str(), &first));
   EXPECT_EQ(first, nullptr);

   // Relative paths are walked from their first component.
   ASSERT_EQ(chdir(dir_.c_str()), 0);
   EXPECT_TRUE(File_MakeDirTree("rel/a", nullptr));
   EXPECT_TRUE(File_IsDir(P("rel/a").c_str()));
   ASSERT_EQ(chdir("/"), 0);
}

TEST_F(FilePathTest, MakeDirTreeStopsAtFirstFailure)
{
   WriteFile(P("file"), "");
   EXPECT_FALSE(File_MakeDirTree(P("file/sub").c_str(), nullptr));

   // The third creation fails; the two made before stay and are reported.
   char *first = nullptr;
   PlatFault_Inject(PLAT_MKDIR, ENOSPC, 2);
   EXPECT_FALSE(File_MakeDirTree(P("a/b/c/d").c_str(), &first));
   ASSERT_NE(first, nullptr);
   EXPECT_EQ(std::string(first), P("a"));
   free(first);
   EXPECT_TRUE(File_IsDir(P("a/b").c_str()));
   EXPECT_FALSE(Exists(P("a/b/c")));

   EXPECT_TRUE(File_MakeDirTree("", nullptr));
}

TEST_F(FilePathTest, MakeDirTreeOfPosixPaths)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "\"//\" starts a network volume and a backslash separates there";
   }
   // Here "//" is the root like "/", and a backslash is part of a name.
   EXPECT_TRUE(File_MakeDirTree(("/" + P("srv/data/10")).c_str(), nullptr));
   EXPECT_TRUE(File_IsDir(P("srv/data/10").c_str()));
   EXPECT_TRUE(File_MakeDirTree(P("x\\y/z").c_str(), nullptr));
   EXPECT_TRUE(File_IsDir(P("x\\y/z").c_str()));
   EXPECT_FALSE(Exists(P("x")));
}

TEST_F(FilePathTest, ListDirectory)
{
   char **names = nullptr;
   EXPECT_EQ(File_ListDir(dir_.c_str(), &names), 0);
   EXPECT_EQ(names, nullptr);

   WriteFile(P("one"), "");
   WriteFile(P(".hidden"), "");
   ASSERT_TRUE(File_MakeDir(P("sub").c_str()));
   ASSERT_EQ(File_ListDir(dir_.c_str(), &names), 3);
   std::vector<std::string> got(names, names + 3);
   for (int i = 0; i < 3; i++) {
      free(names[i]);
   }
   free(names);
   std::sort(got.begin(), got.end());
   EXPECT_EQ(got, (std::vector<std::string>{".hidden", "one", "sub"}));
   EXPECT_EQ(File_ListDir(dir_.c_str(), nullptr), 3);

   EXPECT_EQ(File_ListDir(P("none").c_str(), &names), -1);
   EXPECT_EQ(LastErrno(), ENOENT);

   // A failure in the middle of the listing discards it.
   PlatFault_Inject(PLAT_LISTDIR, EIO, 2);
   CaptureStderr();
   EXPECT_EQ(File_ListDir(dir_.c_str(), &names), -1);
   // The platform's own code for the armed EIO.
   std::string code = std::to_string(File_LastError());
   EXPECT_EQ(LastErrno(), EIO);
   EXPECT_NE(GetCapturedStderr().find("FILE: FileListDirectoryRetry: FindNextFile "
                                      "failure (" + code + ") on (" + dir_ + ")\n"),
             std::string::npos);
   EXPECT_EQ(errno, EIO);
}

struct SplitCase {
   const char *path;
   const char *volume, *dir, *base;
};

TEST(FilePathStrings, SplitPath)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "POSIX paths; Windows ones are tested apart";
   }
   const SplitCase cases[] = {
      {"/var/dumps/x.core", "", "/var/dumps/", "x.core"},
      {"x.core", "", "", "x.core"},
      {"/", "", "/", ""},
      {"logs/", "", "logs/", ""},
      {"a\\b/c", "", "a\\b/", "c"},
      {"//server/share/dir/f", "", "//server/share/dir/", "f"},  // no network volumes
      {"//server/share", "", "//server/", "share"},
      {"//server", "", "//", "server"},
      {"C:/x", "", "C:/", "x"},  // no drive letters here
   };
   for (const SplitCase &c : cases) {
      char *volume, *dir, *base;
      File_SplitPath(c.path, &volume, &dir, &base);
      EXPECT_STREQ(volume, c.volume) << c.path;
      EXPECT_STREQ(dir, c.dir) << c.path;
      EXPECT_STREQ(base, c.base) << c.path;
      free(volume);
      free(dir);
      free(base);
   }
   char *base;
   File_SplitPath("/a/b", nullptr, nullptr, &base);
   EXPECT_STREQ(base, "b");
   free(base);
}

TEST(FilePathStrings, DirAndBaseStripAndJoin)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "POSIX paths; Windows ones are tested apart";
   }
   const char *const dirAndBase[][3] = {
      {"/logs/x.log", "/logs", "x.log"},
      {"/x", "/", "x"},
      {"\\x", "", "\\x"},  // a backslash is part of the name
      {"/logs//", "/logs", ""},
      {"x", "", "x"},
   };
   for (const auto &c : dirAndBase) {
      char *dir, *base;
      File_DirAndBase(c[0], &dir, &base);
      EXPECT_STREQ(dir, c[1]) << c[0];
      EXPECT_STREQ(base, c[2]) << c[0];
      free(dir);
      free(base);
   }
   const char *const strip[][2] = {
      {"/a/b///", "/a/b"}, {"/a/b", "/a/b"}, {"//", "/"}, {"", ""},
   };
   for (const auto &c : strip) {
      char *s = File_StripSeparators(c[0]);
      EXPECT_STREQ(s, c[1]) << c[0];
      free(s);
   }
   const char *const join[][3] = {
      {"/data/", "f", "/data/f"}, {"/data", "f", "/data/f"}, {"/", "f", "/f"},
   };
   for (const auto &c : join) {
      char *s = File_JoinPath(c[0], c[1]);
      EXPECT_STREQ(s, c[2]) << c[0];
      free(s);
   }
}

TEST_F(FilePathTest, FullPathAndSameFile)
{
   ASSERT_EQ(chdir(dir_.c_str()), 0);
   char *full = File_FullPath("a/./b/../c");
   char *cwd = File_FullPath(nullptr);
   ASSERT_EQ(chdir("/"), 0);
   ASSERT_NE(full, nullptr);
   EXPECT_EQ(std::string(full), dir_ + DIRSEPS "a" DIRSEPS "c");
   EXPECT_EQ(std::string(cwd), dir_);
   free(full);
   free(cwd);

   WriteFile(P("f"), "");
   WriteFile(P("g"), "");
   ASSERT_TRUE(File_MakeDir(P("d").c_str()));
   EXPECT_TRUE(File_SameFile(P("f").c_str(), P("d/../f").c_str()));
   EXPECT_FALSE(File_SameFile(P("f").c_str(), P("g").c_str()));
   EXPECT_FALSE(File_SameFile(P("f").c_str(), P("none").c_str()));
   EXPECT_TRUE(File_SameFile("missing", "missing"));

   EXPECT_TRUE(FileIsWritableDir(dir_.c_str()));
   EXPECT_FALSE(FileIsWritableDir(P("f").c_str()));
   EXPECT_TRUE(File_DoesVolumeSupportAcls(dir_.c_str()));
}

TEST(FileRandom, DrawsVaryAndSleepsStayInRange)
{
   std::vector<uint32_t> draws;
   for (int i = 0; i < 100; i++) {
      draws.push_back(FileSimpleRandom());
   }
   std::sort(draws.begin(), draws.end());
   EXPECT_GT(std::unique(draws.begin(), draws.end()) - draws.begin(), 95);

   EXPECT_EQ(FileRandomSleep(2, 2), 2u);
   for (int i = 0; i < 20; i++) {
      uint32_t ms = FileRandomSleep(0, 3);
      EXPECT_LT(ms, 3u);
   }
}

}  // namespace
