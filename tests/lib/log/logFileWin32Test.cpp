// The log file's handle on Windows: every write lands at the end of the
// file whoever else has it open, and open failures carry the errno of the
// file library's table.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <io.h>
#include <string>

#include "lib/log/logPlatform.h"
#include "lib/misc/platFault.h"
#include "tests/support/testFiles.h"

namespace {

HANDLE
HandleOf(int fd)
{
   return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// Writes through the system handle at `offset`, bypassing the runtime's
// own move to the end that an append descriptor makes before each write.
void
WriteAt(int fd, LONG offset, const std::string &text)
{
   ASSERT_NE(SetFilePointer(HandleOf(fd), offset, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
   DWORD written = 0;
   ASSERT_TRUE(WriteFile(HandleOf(fd), text.data(), (DWORD)text.size(), &written, nullptr));
   ASSERT_EQ(written, text.size());
}

TEST(LogFileWin32, TwoWritersNeverOverwriteEachOther)
{
   testutil::TempDir dir;
   std::string path = dir / "shared.log";
   int first = LogPlat_Open(path.c_str());
   int second = LogPlat_Open(path.c_str());
   ASSERT_GE(first, 0);
   ASSERT_GE(second, 0);
   // Each writer's idea of the end is stale by the time it writes: the
   // system must put the line at the real end all the same.
   WriteAt(first, 0, "first line\n");
   WriteAt(second, 0, "second line\n");
   WriteAt(first, 0, "third line\n");
   EXPECT_EQ(LogPlat_Write(second, "fourth line\n", 12), 12);
   LogPlat_Close(first);
   LogPlat_Close(second);
   EXPECT_EQ(testutil::ReadFile(path), "first line\nsecond line\nthird line\nfourth line\n");
}

TEST(LogFileWin32, AppendOnlyFileCanStillBeCutReadAndSynced)
{
   testutil::TempDir dir;
   std::string path = dir / "cut.log";
   int fd = LogPlat_Open(path.c_str());
   ASSERT_GE(fd, 0);
   ASSERT_EQ(LogPlat_Write(fd, "old text\n", 9), 9);
   EXPECT_TRUE(LogPlat_Sync(fd));
   ASSERT_TRUE(LogPlat_Truncate(fd));
   EXPECT_EQ(LogPlat_FileSize(fd), 0);
   ASSERT_EQ(LogPlat_Write(fd, "new\n", 4), 4);
   ASSERT_TRUE(LogPlat_SeekStart(fd));
   char buf[16] = {};
   EXPECT_EQ(LogPlat_Read(fd, buf, sizeof buf), 4);
   EXPECT_EQ(std::string(buf), "new\n");
   LogPlat_Close(fd);
}

TEST(LogFileWin32, OpenErrorsGoThroughTheFileLibrarysTable)
{
   testutil::TempDir dir;
   std::string path = dir / "x.log";
   const struct {
      DWORD code;
      int err;
   } cases[] = {
      {ERROR_HANDLE_DISK_FULL, ENOSPC}, {ERROR_DISK_FULL, ENOSPC},
      {ERROR_TOO_MANY_OPEN_FILES, EMFILE}, {ERROR_WRITE_PROTECT, EROFS},
      {ERROR_SHARING_VIOLATION, EACCES}, {ERROR_BAD_NETPATH, EIO},
   };
   for (const auto &c : cases) {
      PlatFault_Inject(PLAT_OPEN, PlatFault_Win32Code(c.code));
      errno = 0;
      EXPECT_LT(LogPlat_Open(path.c_str()), 0);
      EXPECT_EQ(errno, c.err) << c.code;
      EXPECT_EQ(GetLastError(), c.code);
   }
   PlatFault_Clear();
   // A real failure: the directory is missing.
   std::string missing = dir / "no/such/dir.log";
   EXPECT_LT(LogPlat_Open(missing.c_str()), 0);
   EXPECT_EQ(errno, ENOENT);
}

}  // namespace
