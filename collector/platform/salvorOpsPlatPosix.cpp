// POSIX back end of the operations features' platform layer; see
// salvorOpsPlat.h.
#include "collector/platform/salvorOpsPlat.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "collector/platform/salvorPlatPosixSignals.h"
#include "lib/misc/hostinfo.h"
#include "lib/misc/utilScoped.h"

extern char **environ;

namespace {

// The collector's environment without the names that `env` sets.
std::vector<const char *>
SalvorPlatMergeEnv(const char *const *env)
{
   std::vector<const char *> all;
   for (const char *const *e = env; *e != nullptr; e++) {
      all.push_back(*e);
   }
   size_t own = all.size();
   for (char **e = environ; e != nullptr && *e != nullptr; e++) {
      const char *eq = std::strchr(*e, '=');
      size_t nameLen = eq != nullptr ? (size_t)(eq - *e) + 1 : std::strlen(*e);
      bool replaced = false;
      for (size_t i = 0; i < own && !replaced; i++) {
         replaced = std::strncmp(all[i], *e, nameLen) == 0;
      }
      if (!replaced) {
         all.push_back(*e);
      }
   }
   all.push_back(nullptr);
   return all;
}

/*
 * The child's side of SalvorPlat_SpawnChild, between fork and exec: only
 * calls that are safe after a fork of a process that may have threads.
 * The child gets a group of its own, no signal blocked or ignored, and is
 * made a subreaper, so that what its descendants leave behind while it
 * runs stays in its tree rather than coming to the collector. An exec
 * that fails sends its error through `report`.
 */
[[noreturn]] void
SalvorPlatExecChild(const char *path, char *const *argv, char *const *envp, int errFd,
                    int report)
{
   setpgid(0, 0);
   struct sigaction dfl{};
   dfl.sa_handler = SIG_DFL;
   for (int sig = 1; sig < 32; sig++) {
      sigaction(sig, &dfl, nullptr);  // SIGKILL and SIGSTOP refuse: fine
   }
   sigset_t none;
   sigemptyset(&none);
   sigprocmask(SIG_SETMASK, &none, nullptr);
   prctl(PR_SET_CHILD_SUBREAPER, 1);
   int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
   int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
   if (in < 0 || out < 0 || dup2(errFd, 2) < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0) {
      int err = errno;
      ssize_t ignored = write(report, &err, sizeof err);
      (void)ignored;
      _exit(127);
   }
   for (int fd = 0; fd <= 2; fd++) {
      fcntl(fd, F_SETFD, 0);  // a null device opened as 0, 1 or 2 itself
   }
   execve(path, argv, envp);
   int err = errno;
   ssize_t ignored = write(report, &err, sizeof err);
   (void)ignored;
   _exit(127);
}

// The error the child reported before its exec, or 0 once the exec closed the pipe.
int
SalvorPlatExecResult(int report)
{
   int err = 0;
   ssize_t n;
   do {
      n = read(report, &err, sizeof err);
   } while (n < 0 && errno == EINTR);
   return n == (ssize_t)sizeof err ? err : 0;
}

// The parent process id in /proc/<pid>/stat, or -1.
pid_t
SalvorPlatParentOf(const char *pid)
{
   char path[64];
   std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
   UtilFd fd(open(path, O_RDONLY | O_CLOEXEC));
   if (!fd) {
      return -1;
   }
   char buf[512];
   ssize_t n = read(fd.Get(), buf, sizeof buf - 1);
   if (n <= 0) {
      return -1;
   }
   buf[n] = '\0';
   // "pid (name) state ppid ...": the name may hold anything, even ")".
   const char *nameEnd = std::strrchr(buf, ')');
   char state = 0;
   int ppid = -1;
   if (nameEnd == nullptr || std::sscanf(nameEnd + 1, " %c %d", &state, &ppid) != 2) {
      return -1;
   }
   return (pid_t)ppid;
}

}  // namespace

void
SalvorPlat_WatchChildren(void (*onChildEnded)())
{
   prctl(PR_SET_CHILD_SUBREAPER, 1);
   const int childSignal[] = {SIGCHLD};
   SalvorPlatPosix_OnSignals(childSignal, 1, SA_RESTART | SA_NOCLDSTOP, onChildEnded);
}

int
SalvorPlat_SpawnChild(const char *path, const char *const *env, SalvorPlatChild *child)
{
   int fds[2], report[2];
   if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      return errno;
   }
   UtilFd readEnd(fds[0]), writeEnd(fds[1]);
   if (pipe2(report, O_CLOEXEC) != 0) {
      return errno;
   }
   UtilFd reportRead(report[0]), reportWrite(report[1]);
   // The child's end blocks as any standard error does.
   fcntl(writeEnd.Get(), F_SETFL, 0);
   // Made before the fork: the child may not allocate.
   std::vector<const char *> envp = SalvorPlatMergeEnv(env);
   char *const argv[] = {const_cast<char *>(path), nullptr};
   pid_t pid = fork();
   if (pid == 0) {
      SalvorPlatExecChild(path, argv, const_cast<char *const *>(envp.data()), writeEnd.Get(),
                          reportWrite.Get());
   }
   int err = pid < 0 ? errno : 0;
   writeEnd.Reset();
   reportWrite.Reset();
   if (pid > 0) {
      setpgid(pid, pid);  // whichever of the two runs first
      err = SalvorPlatExecResult(reportRead.Get());
      if (err != 0) {
         int status;
         while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
         }
      }
   }
   if (err != 0) {
      return err;
   }
   child->pid = pid;
   child->errPipe = readEnd.Take();
   return 0;
}

bool
SalvorPlat_ReapChild(const SalvorPlatChild &child, int *exitCode)
{
   pid_t pid = (pid_t)child.pid;
   siginfo_t info{};
   int rc;
   do {
      rc = waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT);
   } while (rc < 0 && errno == EINTR);
   if (rc < 0) {
      *exitCode = -1;  // someone else reaped it: its status is gone
      return true;
   }
   if (info.si_pid == 0) {
      return false;
   }
   // Its pid, and so its group's, is held until it is reaped: end what is
   // left of the group first. What left the group comes to the collector.
   kill(-pid, SIGKILL);
   int status = 0;
   pid_t got;
   do {
      got = waitpid(pid, &status, 0);
   } while (got < 0 && errno == EINTR);
   if (got < 0) {
      *exitCode = -1;
   } else if (WIFSIGNALED(status)) {
      *exitCode = -WTERMSIG(status);
   } else {
      *exitCode = WEXITSTATUS(status);
   }
   return true;
}

void
SalvorPlat_KillChild(const SalvorPlatChild &child)
{
   if (kill(-(pid_t)child.pid, SIGKILL) != 0) {
      kill((pid_t)child.pid, SIGKILL);  // not yet in its group
   }
}

size_t
SalvorPlat_EndLeftovers(const SalvorPlatChild *running, size_t count)
{
   UtilDirStream proc(opendir("/proc"));
   if (!proc) {
      return 0;
   }
   pid_t self = (pid_t)Hostinfo_ProcessId();
   size_t left = 0;
   while (dirent *d = readdir(proc.Get())) {
      if (d->d_name[0] < '1' || d->d_name[0] > '9' || SalvorPlatParentOf(d->d_name) != self) {
         continue;
      }
      pid_t pid = (pid_t)std::atol(d->d_name);
      bool isRunning = false;
      for (size_t i = 0; i < count && !isRunning; i++) {
         isRunning = (pid_t)running[i].pid == pid;
      }
      if (isRunning) {
         continue;
      }
      // A child of ours keeps its pid until reaped here: the kill cannot
      // reach another process.
      kill(pid, SIGKILL);
      int status;
      if (waitpid(pid, &status, WNOHANG) != pid) {
         left++;
      }
   }
   return left;
}

void
SalvorPlat_ReleaseChild(const SalvorPlatChild &child)
{
   SalvorPlat_ClosePipe(child.errPipe);
}

long
SalvorPlat_ReadPipe(FileHandle pipe, char *buf, size_t size)
{
   ssize_t n;
   do {
      n = read((int)pipe, buf, size);
   } while (n < 0 && errno == EINTR);
   return n < 0 ? -1 : (long)n;
}

void
SalvorPlat_ClosePipe(FileHandle pipe)
{
   if (pipe != FILE_INVALID_HANDLE) {
      close((int)pipe);
   }
}
