#include "fileTestUtil.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "lib/misc/platFault.h"

void
FileTestDir::SetUp()
{
   scratch_ = std::make_unique<testutil::TempDir>();
   dir_ = scratch_->path();
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

long
NowMs()
{
   using namespace std::chrono;
   return (long)duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
      .count();
}
