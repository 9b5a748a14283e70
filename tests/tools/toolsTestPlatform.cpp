// The tools' test helpers that are the same on every platform; see
// toolsTestPlatform.h.
#include "tests/tools/toolsTestPlatform.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "tests/support/testFiles.h"

namespace toolstest {

testutil::RunResult
RunFed(const std::vector<std::string> &args, const std::string &input)
{
   testutil::TempDir dir;
   testutil::SpawnOptions spawn;
   spawn.out = testutil::Redirect::ToFile(dir / "out");
   spawn.err = testutil::Redirect::ToFile(dir / "err");
   int fds[2];
   if (!OpenPipe(fds)) {
      throw std::runtime_error("RunFed: no pipe");
   }
   std::unique_ptr<testutil::Process> child;
   intptr_t saved = LendStandardInput(fds[0]);
   try {
      child = std::make_unique<testutil::Process>(args, spawn);
   } catch (...) {
      RestoreStandardInput(saved);
      Close(fds[0]);
      Close(fds[1]);
      throw;
   }
   RestoreStandardInput(saved);
   Close(fds[0]);  // the child holds the only reading end now
   // A child that stops reading early makes a write fail: the feed ends.
   for (size_t at = 0; at < input.size();) {
      long n = Write(fds[1], input.data() + at, std::min<size_t>(64 * 1024, input.size() - at));
      if (n <= 0) {
         break;
      }
      at += (size_t)n;
   }
   Close(fds[1]);
   testutil::RunResult result;
   if (!child->WaitFor(std::chrono::minutes(1))) {
      child->Kill();
   }
   result.exit = child->Wait();
   result.out = testutil::ReadFile(dir / "out");
   result.err = testutil::ReadFile(dir / "err");
   return result;
}

}  // namespace toolstest
