// The file library's lines reach the log through lib/misc/logHook.h. A
// program may log through it before main, and start its log only later:
// such lines must wait in the log's pending ring like any early line.
#include <gtest/gtest.h>

#include <string>

#include "lib/file/fileIO.h"
#include "lib/log/log.h"
#include "tests/support/testFiles.h"

namespace {

// Logged while this program's objects are being initialised, which on
// common linkers happens before the libraries' own initialisers run.
[[maybe_unused]] const char *const earlyText = FileIO_MsgError(FILEIO_CODE_LIMIT + 7);

TEST(FileLogHook, LinesFromBeforeMainReachALogStartedLater)
{
   testutil::TempDir dir;
   std::string path = dir / "late.log";
   LogParams params;
   Log_ParamsDefaults(&params);
   params.fileName = path.c_str();
   params.throttleBytesPerSec = LOG_NO_BPS_LIMIT;
   ASSERT_TRUE(Log_Init(&params));
   Log("started late\n");
   Log_Exit();

   std::string text = testutil::ReadFile(path);
   size_t early = text.find("FileIO_MsgError: bad code 19");
   EXPECT_NE(early, std::string::npos) << text;
   EXPECT_LT(early, text.find("started late")) << text;
}

}  // namespace
