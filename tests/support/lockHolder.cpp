// A child process holding a lock file; see lockHolder.h.
#include "tests/support/lockHolder.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/file/fileLock.h"

namespace testutil {

LockHolder::LockHolder(const std::string &path)
{
   int ready[2];
   if (pipe(ready) != 0) {
      return;
   }
   pid_ = fork();
   if (pid_ == 0) {
      int err = 0;
      char c = FileLock_Acquire(path.c_str(), false, 5000, &err, nullptr) != nullptr ? 'y' : 'n';
      (void)!write(ready[1], &c, 1);
      pause();  // holds the lock until it is killed
      _exit(0);
   }
   char c = 0;
   holding_ = pid_ > 0 && read(ready[0], &c, 1) == 1 && c == 'y';
   close(ready[0]);
   close(ready[1]);
}

LockHolder::~LockHolder()
{
   if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
   }
}

}  // namespace testutil
