// A child process holding a lock file; see lockHolder.h.
#include "tests/support/lockHolder.h"

#include <filesystem>

namespace testutil {

LockHolder::LockHolder(const std::string &path)
{
   // The room is where file_lock_holder checks for company; none comes here.
   std::string room = dir_ / "room";
   std::filesystem::create_directory(room);
   SpawnOptions options;
   options.out = Redirect::ToFile(dir_ / "out");
   options.inputPipe = true;
   child_ = std::make_unique<Process>(
      std::vector<std::string>{FILE_LOCK_HOLDER, "hold", path, "X", "5000", room}, options);
   // Generous: Wine may take long to start a process.
   holding_ = OutputLines(dir_ / "out").Next(std::chrono::minutes(2)) == "held";
}

LockHolder::~LockHolder()
{
   child_->CloseInput();
   if (!child_->WaitFor(std::chrono::minutes(1))) {
      child_->Kill();
   }
}

}  // namespace testutil
