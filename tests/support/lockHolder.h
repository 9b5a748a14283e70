// Another process holding an exclusive advisory lock file on a path, as a
// second program would, until the object goes: a file_lock_holder child
// that lets go when its input ends.
#pragma once

#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/testFiles.h"

namespace testutil {

class LockHolder {
public:
   explicit LockHolder(const std::string &path);
   // Lets the child release the lock and waits for it to end.
   ~LockHolder();
   LockHolder(const LockHolder &) = delete;
   LockHolder &operator=(const LockHolder &) = delete;

   // Whether the child took the lock.
   bool Holding() const { return holding_; }

private:
   TempDir dir_;  // the child's output and its room
   std::unique_ptr<Process> child_;
   bool holding_ = false;
};

}  // namespace testutil
