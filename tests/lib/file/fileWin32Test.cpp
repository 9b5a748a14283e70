// What the Win32 back end of the file library does of its own: the fixed
// tables from Win32 codes to errno-style codes and open statuses, drive
// letters, backslashes and network volumes in paths, the 260-unit limit
// and its "\\?\" escape, and share modes between two opens.
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <windows.h>

#include "lib/file/file.h"
#include "lib/file/fileIO.h"
#include "lib/file/fileInt.h"
#include "lib/file/filePlatform.h"
#include "tests/lib/file/fileTestUtil.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

TEST(FileWin32Errors, EveryCodeOfTheTableAndAnUnknownOne)
{
   const int table[][2] = {
      {1, EINVAL},    {12, EINVAL},      {87, EINVAL},   {123, EINVAL}, {160, EINVAL},
      {2, ENOENT},    {3, ENOENT},       {303, ENOENT},  {4, EMFILE},   {5, EACCES},
      {32, EACCES},   {82, EACCES},      {6, EBADF},     {8, ENOMEM},   {14, ENOMEM},
      {16, EBUSY},    {148, EBUSY},      {19, EROFS},    {50, ENOSYS},  {80, EEXIST},
      {183, EEXIST},  {112, ENOSPC},     {145, ENOTEMPTY}, {206, ENAMETOOLONG},
      {267, ENOTDIR}, {487, EFAULT},     {27, EIO},      {29, EIO},     {30, EIO},
      {31, EIO},
   };
   for (const auto &row : table) {
      EXPECT_EQ(FileMapPlatformError("t", row[0]), row[1]) << row[0];
      EXPECT_EQ(File_LastError(), row[0]) << "the Win32 code stays the last error";
   }
   CaptureStderr();
   EXPECT_EQ(FileMapPlatformError("Probe", ERROR_NOT_READY), EIO);
   EXPECT_NE(GetCapturedStderr().find("FILE: Probe unmapped error code 21\n"), std::string::npos);
}

TEST(FileWin32Errors, OpenStatusesOfCreateFileErrors)
{
   const int known[][2] = {
      {ERROR_FILE_NOT_FOUND, FILEIO_NOT_FOUND}, {ERROR_PATH_NOT_FOUND, FILEIO_NOT_FOUND},
      {ERROR_ACCESS_DENIED, FILEIO_NO_PERM},    {ERROR_INVALID_ACCESS, FILEIO_NO_PERM},
      {ERROR_WRITE_PROTECT, FILEIO_NO_PERM},    {ERROR_FILE_EXISTS, FILEIO_EXISTS},
      {ERROR_ALREADY_EXISTS, FILEIO_EXISTS},    {ERROR_DISK_FULL, FILEIO_NOSPC},
      {ERROR_HANDLE_DISK_FULL, FILEIO_NOSPC},
   };
   for (const auto &row : known) {
      EXPECT_EQ(FileIO_StatusOfOpenError(row[0]), row[1]) << row[0];
   }
   CaptureStderr();
   EXPECT_EQ(FileIO_StatusOfOpenError(ERROR_SHARING_VIOLATION), FILEIO_CANCELLED);
   EXPECT_NE(GetCapturedStderr().find("FileIOCreateRetry: CreateFileW() returned "
                                      "ERROR_SHARING_VIOLATION, failing with FILEIO_CANCELLED.\n"),
             std::string::npos);
   // Codes the open does not tell apart are its generic error.
   CaptureStderr();
   EXPECT_EQ(FileIO_StatusOfOpenError(ERROR_BAD_NETPATH), FILEIO_ERROR);
   EXPECT_NE(GetCapturedStderr().find("FileIOCreateRetry: Unrecognized error code: 53\n"),
             std::string::npos);
}

TEST(FileWin32Paths, VolumesOfDrivesAndNetworkShares)
{
   const char *const cases[][4] = {
      {"C:\\dumps\\x.core", "C:", "\\dumps\\", "x.core"},
      {"C:/dumps/x.core", "C:", "/dumps/", "x.core"},
      {"\\\\server\\share\\dir\\f", "\\\\server\\share", "\\dir\\", "f"},
      {"//server/share", "//server/share", "", ""},
      {"\\\\server", "", "\\\\", "server"},
      {"a\\b/c", "", "a\\b/", "c"},
      {"C:", "C:", "", ""},
      // The system's namespaces: the share of an escaped network name, the
      // drive, volume or device after the prefix.
      {"\\\\?\\UNC\\server\\share\\dumps\\f", "\\\\?\\UNC\\server\\share", "\\dumps\\", "f"},
      {"\\\\?\\unc\\server\\share", "\\\\?\\unc\\server\\share", "", ""},
      {"\\\\?\\UNC\\server", "\\\\?\\UNC\\server", "", ""},
      {"\\\\?\\C:\\dumps\\f", "\\\\?\\C:", "\\dumps\\", "f"},
      {"\\\\?\\Volume{1}\\d\\f", "\\\\?\\Volume{1}", "\\d\\", "f"},
      {"\\\\.\\C:\\f", "\\\\.\\C:", "\\", "f"},
      {"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive0", "", ""},
      {"\\\\?\\UNCLE\\d\\f", "\\\\?\\UNCLE", "\\d\\", "f"},
   };
   for (const auto &c : cases) {
      char *volume, *dir, *base;
      File_SplitPath(c[0], &volume, &dir, &base);
      EXPECT_STREQ(volume, c[1]) << c[0];
      EXPECT_STREQ(dir, c[2]) << c[0];
      EXPECT_STREQ(base, c[3]) << c[0];
      std::free(volume);
      std::free(dir);
      std::free(base);
   }
   const char *const dirAndBase[][3] = {
      {"C:/logs/x.log", "C:/logs", "x.log"},
      {"C:\\x.log", "C:", "x.log"},
      {"\\x", "\\", "x"},
   };
   for (const auto &c : dirAndBase) {
      char *dir, *base;
      File_DirAndBase(c[0], &dir, &base);
      EXPECT_STREQ(dir, c[1]) << c[0];
      EXPECT_STREQ(base, c[2]) << c[0];
      std::free(dir);
      std::free(base);
   }
   char *joined = File_JoinPath("C:\\data\\\\", "f");
   EXPECT_STREQ(joined, "C:\\data\\f");
   std::free(joined);
}

class FileWin32 : public FileTestDir {};

TEST_F(FileWin32, DirectoryTreeWithBackslashesAndADriveLetter)
{
   // dir_ starts with a drive letter; the levels are cut at either separator.
   std::string leaf = dir_ + "\\10/0\\0/1";
   char *first = nullptr;
   ASSERT_TRUE(File_MakeDirTree(leaf.c_str(), &first));
   ASSERT_NE(first, nullptr);
   EXPECT_EQ(std::string(first), dir_ + "\\10");
   std::free(first);
   EXPECT_TRUE(File_IsDir((dir_ + "\\10\\0\\0\\1").c_str()));
   EXPECT_TRUE(File_MakeDirTree(dir_.substr(0, 2).c_str(), nullptr)) << "a drive alone";

   // An escaped name's first level is the one below its drive.
   std::string escaped = "\\\\?\\" + dir_ + "\\20\\0";
   ASSERT_TRUE(File_MakeDirTree(escaped.c_str(), &first));
   ASSERT_NE(first, nullptr);
   EXPECT_EQ(std::string(first), "\\\\?\\" + dir_ + "\\20");
   std::free(first);
   EXPECT_TRUE(File_SameFile(P("10").c_str(), (dir_ + "/10/0/..").c_str()));
}

TEST_F(FileWin32, LongNamesNeedTheEscape)
{
   // 259 units still reach CreateFileW, 260 do not; with "\\?\" any length does.
   std::string name = P("");
   std::string path259 = name + std::string(259 - name.size(), 'n');
   FileIOFile f;
   FileIO_InitFile(&f);
   EXPECT_NE(FileIO_OpenPath(&f, path259.c_str(), FILEIO_ACCESS_WRITE,
                             FILEIO_ACTION_CREATE_NEW),
             FILEIO_NAME_LONG);
   FileIO_CloseFile(&f);
   std::string path260 = path259 + "n";
   EXPECT_EQ(FileIO_OpenPath(&f, path260.c_str(), FILEIO_ACCESS_WRITE, FILEIO_ACTION_CREATE_NEW),
             FILEIO_NAME_LONG);
   EXPECT_EQ(File_LastError(), ERROR_INVALID_PARAMETER);
   EXPECT_EQ(FileCreateDirectoryRetry(path260.c_str(), 0777, 0), ENAMETOOLONG);
   EXPECT_EQ(File_LastError(), ERROR_FILENAME_EXCED_RANGE);

   // The escaped name takes backslashes only and is passed on as it is.
   std::string escaped = "\\\\?\\" + dir_ + "\\" + std::string(200, 'd');
   ASSERT_EQ(FileCreateDirectoryRetry(escaped.c_str(), 0777, 0), 0);
   escaped += "\\" + std::string(100, 'f');
   ASSERT_EQ(FileIO_OpenPath(&f, escaped.c_str(), FILEIO_ACCESS_WRITE, FILEIO_ACTION_CREATE_NEW),
             FILEIO_SUCCESS);
   EXPECT_EQ(FileIO_WriteBytes(&f, "long", 4, nullptr), FILEIO_SUCCESS);
   EXPECT_FALSE(FileIO_CloseFile(&f));
   EXPECT_EQ(File_Remove(escaped.c_str()), 0);
}

TEST_F(FileWin32, ShareModesComeFromTheAccessBits)
{
   FileIOFile holder, other;
   FileIO_InitFile(&holder);
   FileIO_InitFile(&other);
   ASSERT_EQ(FileIO_OpenPath(&holder, P("held").c_str(), FILEIO_ACCESS_WRITE,
                             FILEIO_ACTION_CREATE_NEW),
             FILEIO_SUCCESS);
   // Read and write are shared by default, deletion is not.
   EXPECT_EQ(FileIO_OpenPath(&other, P("held").c_str(), FILEIO_ACCESS_READ, FILEIO_ACTION_OPEN),
             FILEIO_SUCCESS);
   FileIO_CloseFile(&other);
   EXPECT_EQ(FileDeletionRetry(P("held").c_str(), false, 0), EACCES);
   EXPECT_EQ(File_LastError(), ERROR_SHARING_VIOLATION);
   FileIO_CloseFile(&holder);

   // A deny bit: a second open fails once its retry budget is spent.
   ASSERT_EQ(FileIO_OpenPath(&holder, P("held").c_str(), FILEIO_ACCESS_WRITE | FILEIO_DENY_READ,
                             FILEIO_ACTION_OPEN),
             FILEIO_SUCCESS);
   long start = NowMs();
   CaptureStderr();
   EXPECT_EQ(FileIO_OpenPath(&other, P("held").c_str(), FILEIO_ACCESS_READ | FILEIO_DENY_WRITE,
                             FILEIO_ACTION_OPEN),
             FILEIO_CANCELLED);
   EXPECT_EQ(File_LastError(), ERROR_SHARING_VIOLATION);
   GetCapturedStderr();
   EXPECT_GE(NowMs() - start, 2000);
   FileIO_CloseFile(&holder);

   // Shared for deletion, an open file can be renamed and deleted.
   ASSERT_EQ(FileIO_OpenPath(&holder, P("held").c_str(), FILEIO_ACCESS_WRITE | FILEIO_SHARE_DELETE,
                             FILEIO_ACTION_OPEN),
             FILEIO_SUCCESS);
   EXPECT_EQ(File_Rename(P("held").c_str(), P("moved").c_str()), 0);
   EXPECT_EQ(File_Remove(P("moved").c_str()), 0);
   FileIO_CloseFile(&holder);
   EXPECT_FALSE(Exists(P("moved")));
}

TEST_F(FileWin32, OpensBelowADirectoryHandleStayInIt)
{
   const char *levels[] = {"a"};
   FileHandle dir = File_OpenDirTree(dir_.c_str(), levels, 1, 0777);
   ASSERT_NE(dir, FILE_INVALID_HANDLE);
   FileIOFile f;
   FileIO_InitFile(&f);
   std::string path = P("a\\f");
   ASSERT_EQ(FileIO_OpenAtMode(&f, dir, "f", path.c_str(), FILEIO_ACCESS_WRITE,
                               FILEIO_ACTION_CREATE_NEW, 0),
             FILEIO_SUCCESS);
   FileIO_WriteBytes(&f, "x", 1, nullptr);
   FileIO_CloseFile(&f);
   EXPECT_EQ(ReadFile(path), "x");
   EXPECT_EQ(FileIO_OpenAtMode(&f, dir, "f", path.c_str(), FILEIO_ACCESS_WRITE,
                               FILEIO_ACTION_CREATE_NEW, 0),
             FILEIO_EXISTS);
   EXPECT_EQ(File_LastError(), ERROR_FILE_EXISTS) << "as CreateFileW says it";
   // A name that would leave the directory is refused.
   for (const char *name : {"..\\f", "../f", "..", "sub\\f"}) {
      EXPECT_EQ(FileIO_OpenAtMode(&f, dir, name, path.c_str(), FILEIO_ACCESS_READ,
                                  FILEIO_ACTION_OPEN, 0),
                FILEIO_ERROR)
         << name;
      EXPECT_EQ(File_LastError(), ERROR_INVALID_NAME);
   }
   File_CloseDirHandle(dir);
}

}  // namespace
