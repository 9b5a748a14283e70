#include "fileTestUtil.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "lib/file/file.h"
#include "lib/log/log.h"
#include "lib/misc/platFault.h"
#include "tests/support/testLog.h"

void
FileTestDir::SetUp()
{
   scratch_ = std::make_unique<testutil::TempDir>();
   dir_ = scratch_->Path();
}

void
FileTestDir::TearDown()
{
   PlatFault_Clear();
   scratch_.reset();
}

bool
Exists(const std::string &path)
{
   struct stat st;
   return stat(path.c_str(), &st) == 0;
}

int
LastErrno()
{
   return File_ErrnoOfPlatformError(File_LastError());
}

long
NowMs()
{
   using namespace std::chrono;
   return (long)duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
      .count();
}

namespace {

// The file library reports through the log; these tests read its lines
// from stderr.
class EchoedLog : public ::testing::Environment {
public:
   void SetUp() override { testutil::StartLogEchoingToStderr(dir_ / "file-tests.log"); }
   void TearDown() override { Log_Exit(); }

private:
   testutil::TempDir dir_;
};

const ::testing::Environment *const echoedLog =
   ::testing::AddGlobalTestEnvironment(new EchoedLog);

}  // namespace
