// Child processes of the tests, what is the same on every platform; see
// process.h.
#include "tests/support/process.h"

#include <thread>

#include "tests/support/testFiles.h"

namespace testutil {

bool
Process::Running()
{
   return !Reap(false);
}

std::optional<ExitInfo>
Process::WaitFor(std::chrono::milliseconds limit)
{
   auto deadline = std::chrono::steady_clock::now() + limit;
   while (!Reap(false)) {
      if (std::chrono::steady_clock::now() >= deadline) {
         return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
   }
   return ended_;
}

ExitInfo
Process::Wait()
{
   Reap(true);
   return *ended_;
}

std::string
OutputLines::Next(std::chrono::milliseconds limit)
{
   auto deadline = std::chrono::steady_clock::now() + limit;
   for (;;) {
      std::string text = ReadFile(path_);
      size_t end = text.find('\n', taken_);
      if (end != std::string::npos) {
         std::string line = text.substr(taken_, end - taken_);
         taken_ = end + 1;
         if (!line.empty() && line.back() == '\r') {
            line.pop_back();
         }
         return line;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
         return "";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
   }
}

RunResult
Run(const std::vector<std::string> &args, const RunOptions &options)
{
   TempDir dir;
   SpawnOptions spawn;
   spawn.out = options.out.kind == Redirect::Capture ? Redirect::ToFile(dir / "out") : options.out;
   spawn.err = options.err.kind == Redirect::Capture ? Redirect::ToFile(dir / "err") : options.err;
   spawn.env = options.env;
   RunResult result;
   {
      Process child(args, spawn);
      if (!child.WaitFor(std::chrono::minutes(1))) {
         child.Kill();
      }
      result.exit = child.Wait();
   }
   if (options.out.kind == Redirect::Capture) {
      result.out = ReadFile(dir / "out");
   }
   if (options.err.kind == Redirect::Capture) {
      result.err = ReadFile(dir / "err");
   }
   return result;
}

}  // namespace testutil
