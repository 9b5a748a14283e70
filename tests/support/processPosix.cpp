// Child processes of the tests on POSIX: fork and exec; see process.h.
#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

extern char **environ;

namespace testutil {

bool
ExitInfo::Exited() const
{
   return WIFEXITED(status);
}

int
ExitInfo::Code() const
{
   return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int
ExitInfo::Signal() const
{
   return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

namespace {

// The environment of the test with `extra` added; an entry of `extra`
// replaces one of the same name.
std::vector<std::string>
MergedEnvironment(const std::vector<std::string> &extra)
{
   std::vector<std::string> env;
   for (char **e = environ; *e != nullptr; e++) {
      std::string entry = *e;
      std::string name = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const std::string &x : extra) {
         replaced |= x.compare(0, name.size(), name) == 0;
      }
      if (!replaced) {
         env.push_back(entry);
      }
   }
   env.insert(env.end(), extra.begin(), extra.end());
   return env;
}

std::vector<char *>
Pointers(std::vector<std::string> &strings)
{
   std::vector<char *> out;
   for (std::string &s : strings) {
      out.push_back(s.data());
   }
   out.push_back(nullptr);
   return out;
}

// In the child: points `target` (1 or 2) where `r` says. Only calls that
// are safe after fork.
bool
ApplyRedirect(const Redirect &r, int target)
{
   int fd = -1;
   switch (r.kind) {
   case Redirect::Inherit:
   case Redirect::Capture:
      return true;
   case Redirect::ToStdout:
      return dup2(1, target) >= 0;
   case Redirect::File:
      fd = open(r.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      break;
   case Redirect::Null:
      fd = open("/dev/null", O_WRONLY);
      break;
   case Redirect::BrokenPipe: {
      int ends[2];
      if (pipe(ends) != 0) {
         return false;
      }
      close(ends[0]);
      fd = ends[1];
      break;
   }
   }
   if (fd < 0 || dup2(fd, target) < 0) {
      return false;
   }
   if (fd != target) {
      close(fd);
   }
   return true;
}

}  // namespace

Process::Process(const std::vector<std::string> &args, const SpawnOptions &options)
{
   if (args.empty() || options.out.kind == Redirect::ToStdout ||
       options.out.kind == Redirect::Capture || options.err.kind == Redirect::Capture) {
      throw std::invalid_argument("Process: no program, or an output it cannot take");
   }
   // Everything the child needs is made before the fork: a test may have
   // threads, and the child may only make calls that are safe after fork.
   std::vector<std::string> argStrings = args;
   std::vector<char *> argv = Pointers(argStrings);
   std::vector<std::string> envStrings = MergedEnvironment(options.env);
   std::vector<char *> envp = Pointers(envStrings);
   // Close-on-exec: other children started meanwhile must not keep the
   // writing end open, or this child would never see the end of its input.
   int input[2] = {-1, -1};
   if (options.inputPipe && pipe2(input, O_CLOEXEC) != 0) {
      throw std::runtime_error(std::string("pipe: ") + strerror(errno));
   }

   pid_ = fork();
   if (pid_ < 0) {
      int saved = errno;
      for (int fd : input) {
         if (fd >= 0) {
            close(fd);
         }
      }
      throw std::runtime_error(std::string("fork: ") + strerror(saved));
   }
   if (pid_ == 0) {
      if (!ApplyRedirect(options.out, 1) || !ApplyRedirect(options.err, 2) ||
          (input[0] >= 0 && dup2(input[0], 0) < 0)) {
         _exit(126);
      }
      if (options.openFilesSoft != 0) {
         rlimit lim{options.openFilesSoft, options.openFilesHard};
         if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
            _exit(126);
         }
      }
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
   }
   if (input[0] >= 0) {
      close(input[0]);
      input_ = input[1];
   }
}

Process::~Process()
{
   if (!ended_) {
      Kill();
   }
   CloseInput();
}

void
Process::CloseInput()
{
   if (input_ >= 0) {
      close((int)input_);
      input_ = -1;
   }
}

void
Process::Kill()
{
   if (!ended_) {
      kill(pid_, SIGKILL);
      Reap(true);
   }
}

bool
Process::Reap(bool block)
{
   int flags = block ? 0 : WNOHANG;
   if (ended_) {
      return true;
   }
   int status = 0;
   pid_t got;
   do {
      got = waitpid(pid_, &status, flags);
   } while (got < 0 && errno == EINTR);
   if (got == pid_) {
      ended_ = ExitInfo{status};
      return true;
   }
   return false;
}

void
Process::Stop(std::chrono::milliseconds grace)
{
   if (Running()) {
      kill(pid_, SIGTERM);
      if (!WaitFor(grace)) {
         Kill();
      }
   }
}

}  // namespace testutil
