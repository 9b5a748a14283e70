// The client tools' Windows platform layer: reads at offsets and in
// order, and what a descriptor reads from.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <string>

#include "tests/support/testFiles.h"
#include "tools/toolsPlatform.h"

namespace {

class ToolsPlatform : public ::testing::Test {
protected:
   void SetUp() override
   {
      path = dir.Path() + "\\dump.bin";
      for (int i = 0; i < 70000; i++) {
         content += (char)(i * 7 + i / 256);
      }
      testutil::WriteFile(path, content);
      fd = ToolsPlat_OpenRead(path.c_str());
      ASSERT_GE(fd, 0) << errno;
   }
   void TearDown() override
   {
      if (fd >= 0) {
         ToolsPlat_Close(fd);
      }
   }

   testutil::TempDir dir;
   std::string path;
   std::string content;
   int fd = -1;
};

TEST_F(ToolsPlatform, ReadsAtOffsetsInAnyOrderAndNothingPastTheEnd)
{
   char buf[100];
   ASSERT_EQ(ToolsPlat_ReadAt(fd, buf, 100, 65500), 100);
   EXPECT_EQ(std::string(buf, 100), content.substr(65500, 100));
   ASSERT_EQ(ToolsPlat_ReadAt(fd, buf, 100, 3), 100);
   EXPECT_EQ(std::string(buf, 100), content.substr(3, 100));
   EXPECT_EQ(ToolsPlat_ReadAt(fd, buf, 100, 69950), 50);
   EXPECT_EQ(ToolsPlat_ReadAt(fd, buf, 100, 70000), 0);
   EXPECT_EQ(ToolsPlat_ReadAt(fd, buf, 100, 1u << 20), 0);
}

TEST_F(ToolsPlatform, ReadsInOrderWithoutTranslatingLineEnds)
{
   // Bytes 10 and 13 and 26 (^Z) among them: a text-mode read would change them.
   std::string got;
   char buf[4096];
   long n;
   while ((n = ToolsPlat_Read(fd, buf, sizeof buf)) > 0) {
      got.append(buf, (size_t)n);
   }
   EXPECT_EQ(n, 0);
   EXPECT_EQ(got, content);
}

TEST_F(ToolsPlatform, KindsAndSizes)
{
   ToolsFileKind kind = ToolsFileKind::Other;
   uint64_t size = 0;
   ASSERT_TRUE(ToolsPlat_FileInfo(fd, &kind, &size));
   EXPECT_EQ(kind, ToolsFileKind::Regular);
   EXPECT_EQ(size, content.size());

   int ends[2];
   ASSERT_EQ(_pipe(ends, 4096, _O_BINARY), 0);
   ASSERT_TRUE(ToolsPlat_FileInfo(ends[0], &kind, &size));
   EXPECT_EQ(kind, ToolsFileKind::Other);
   _close(ends[0]);
   _close(ends[1]);

   EXPECT_LT(ToolsPlat_OpenRead((dir.Path() + "\\missing").c_str()), 0);
   EXPECT_EQ(errno, ENOENT);
}

}  // namespace
