// Another process holding an exclusive advisory lock file on a path, as a
// second program would, until the object goes.
#pragma once

#include <sys/types.h>

#include <string>

namespace testutil {

class LockHolder {
public:
   explicit LockHolder(const std::string &path);
   ~LockHolder();
   LockHolder(const LockHolder &) = delete;
   LockHolder &operator=(const LockHolder &) = delete;

   // Whether the child took the lock.
   bool Holding() const { return holding_; }

private:
   pid_t pid_ = -1;
   bool holding_ = false;
};

}  // namespace testutil
