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
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "collector/platform/salvorPlatPosixSignals.h"
#include "lib/misc/platFaultPosix.h"

extern char **environ;

FileHandle
SalvorPlat_OpenAppend(const char *path, int mode)
{
   int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
   return fd < 0 ? FILE_INVALID_HANDLE : fd;
}

bool
SalvorPlat_Append(FileHandle file, const void *data, size_t length)
{
   size_t tried = length;
   if (!PlatFault_Allowed(PLAT_WRITE, &tried, (intptr_t)file)) {
      return false;
   }
   ssize_t n;
   do {
      n = write((int)file, data, tried);
   } while (n < 0 && errno == EINTR);
   if (n == (ssize_t)length) {
      return true;
   }
   if (n > 0) {
      // A full file system took part of it: cut that back, so that the
      // next record does not join a half one. O_APPEND left the offset
      // at the end of what was written.
      off_t end = lseek((int)file, 0, SEEK_CUR);
      if (end >= n && ftruncate((int)file, end - n) != 0) {
         return false;
      }
      errno = ENOSPC;
   }
   return false;
}

void
SalvorPlat_CloseHandle(FileHandle file)
{
   if (file != FILE_INVALID_HANDLE) {
      close((int)file);
   }
}

bool
SalvorPlat_FileSize(FileHandle file, uint64_t *size)
{
   struct stat st;
   if (fstat((int)file, &st) != 0) {
      return false;
   }
   *size = (uint64_t)st.st_size;
   return true;
}

bool
SalvorPlat_FreeBytes(const char *path, uint64_t *freeBytes)
{
   struct statvfs vfs;
   if (statvfs(path, &vfs) != 0) {
      return false;
   }
   *freeBytes = (uint64_t)vfs.f_bavail * vfs.f_frsize;
   return true;
}

SalvorPlatProgram
SalvorPlat_CheckProgram(const char *path, int *err)
{
   *err = 0;
   if (path[0] != '/') {
      return SALVOR_PROGRAM_RELATIVE;
   }
   struct stat st;
   if (stat(path, &st) != 0) {
      *err = errno;
      return SALVOR_PROGRAM_MISSING;
   }
   if (!S_ISREG(st.st_mode)) {
      return SALVOR_PROGRAM_NOT_FILE;
   }
   return access(path, X_OK) == 0 ? SALVOR_PROGRAM_OK : SALVOR_PROGRAM_NOT_EXECUTABLE;
}

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
   int fd = open(path, O_RDONLY | O_CLOEXEC);
   if (fd < 0) {
      return -1;
   }
   char buf[512];
   ssize_t n = read(fd, buf, sizeof buf - 1);
   close(fd);
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
   if (pipe2(report, O_CLOEXEC) != 0) {
      int err = errno;
      close(fds[0]);
      close(fds[1]);
      return err;
   }
   // The child's end blocks as any standard error does.
   fcntl(fds[1], F_SETFL, 0);
   // Made before the fork: the child may not allocate.
   std::vector<const char *> envp = SalvorPlatMergeEnv(env);
   char *const argv[] = {const_cast<char *>(path), nullptr};
   pid_t pid = fork();
   if (pid == 0) {
      SalvorPlatExecChild(path, argv, const_cast<char *const *>(envp.data()), fds[1], report[1]);
   }
   int err = pid < 0 ? errno : 0;
   close(fds[1]);
   close(report[1]);
   if (pid > 0) {
      setpgid(pid, pid);  // whichever of the two runs first
      err = SalvorPlatExecResult(report[0]);
      if (err != 0) {
         int status;
         while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
         }
      }
   }
   close(report[0]);
   if (err != 0) {
      close(fds[0]);
      return err;
   }
   child->pid = pid;
   child->errPipe = fds[0];
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
   DIR *proc = opendir("/proc");
   if (proc == nullptr) {
      return 0;
   }
   pid_t self = getpid();
   size_t left = 0;
   while (dirent *d = readdir(proc)) {
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
   closedir(proc);
   return left;
}

void
SalvorPlat_ReleaseChild(const SalvorPlatChild &child)
{
   SalvorPlat_CloseHandle(child.errPipe);
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

FileHandle
SalvorPlat_OpenDirAt(FileHandle dir, const char *name)
{
   int fd = openat(dir == FILE_INVALID_HANDLE ? AT_FDCWD : (int)dir, name,
                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
   return fd < 0 ? FILE_INVALID_HANDLE : fd;
}

bool
SalvorPlat_ListDirAt(FileHandle dir, std::vector<SalvorPlatEntry> *entries)
{
   // The stream gets a descriptor of its own: closing it leaves `dir` open.
   int fd = fcntl((int)dir, F_DUPFD_CLOEXEC, 0);
   DIR *stream = fd < 0 ? nullptr : fdopendir(fd);
   if (stream == nullptr) {
      if (fd >= 0) {
         close(fd);
      }
      return false;
   }
   rewinddir(stream);
   while (dirent *d = readdir(stream)) {
      if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) {
         continue;
      }
      struct stat st;
      if (fstatat((int)dir, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
         continue;  // gone in the meantime
      }
      SalvorPlatEntry e{};
      std::snprintf(e.name, sizeof e.name, "%s", d->d_name);
      e.isDir = S_ISDIR(st.st_mode);
      e.isFile = S_ISREG(st.st_mode);
      e.ownerWritable = (st.st_mode & S_IWUSR) != 0;
      e.mtimeSec = (int64_t)st.st_mtim.tv_sec;
      e.mtimeNsec = (int64_t)st.st_mtim.tv_nsec;
      e.size = (uint64_t)st.st_size;
      e.id = FileId{(uint64_t)st.st_dev, (uint64_t)st.st_ino};
      entries->push_back(e);
   }
   closedir(stream);
   return true;
}

int
SalvorPlat_RemoveDirAt(FileHandle dir, const char *name)
{
   return unlinkat((int)dir, name, AT_REMOVEDIR) == 0 ? 0 : errno;
}
