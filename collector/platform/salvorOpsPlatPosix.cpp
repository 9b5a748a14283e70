// POSIX back end of the operations features' platform layer; see
// salvorOpsPlat.h.
#include "collector/platform/salvorOpsPlat.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

int64_t
SalvorPlat_WallUsec()
{
   timeval tv;
   gettimeofday(&tv, nullptr);
   return (int64_t)tv.tv_sec * 1000000 + tv.tv_usec;
}

long
SalvorPlat_LocalTime(int64_t sec, struct tm *tm)
{
   time_t t = (time_t)sec;
   localtime_r(&t, tm);
   return tm->tm_gmtoff / 60;
}

FileHandle
SalvorPlat_OpenAppend(const char *path, int mode)
{
   int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
   return fd < 0 ? FILE_INVALID_HANDLE : fd;
}

bool
SalvorPlat_Append(FileHandle file, const void *data, size_t length)
{
   ssize_t n;
   do {
      n = write((int)file, data, length);
   } while (n < 0 && errno == EINTR);
   return n == (ssize_t)length;
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

// Attributes of a hook: its own group, no signal blocked or ignored.
void
SalvorPlatChildAttributes(posix_spawnattr_t *attr)
{
   posix_spawnattr_init(attr);
   sigset_t none, all;
   sigemptyset(&none);
   sigfillset(&all);
   posix_spawnattr_setsigmask(attr, &none);
   posix_spawnattr_setsigdefault(attr, &all);
   posix_spawnattr_setpgroup(attr, 0);
   posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                     POSIX_SPAWN_SETPGROUP);
}

}  // namespace

int
SalvorPlat_SpawnChild(const char *path, const char *const *env, SalvorPlatChild *child)
{
   int fds[2];
   if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      return errno;
   }
   // The child's end blocks as any standard error does.
   fcntl(fds[1], F_SETFL, 0);
   posix_spawn_file_actions_t actions;
   posix_spawn_file_actions_init(&actions);
   posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
   posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
   posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
   posix_spawnattr_t attr;
   SalvorPlatChildAttributes(&attr);
   std::vector<const char *> envp = SalvorPlatMergeEnv(env);
   char *const argv[] = {const_cast<char *>(path), nullptr};
   pid_t pid = 0;
   int rc = posix_spawn(&pid, path, &actions, &attr, argv, const_cast<char *const *>(envp.data()));
   posix_spawn_file_actions_destroy(&actions);
   posix_spawnattr_destroy(&attr);
   close(fds[1]);
   if (rc != 0) {
      close(fds[0]);
      return rc;
   }
   child->pid = pid;
   child->errPipe = fds[0];
   return 0;
}

bool
SalvorPlat_ReapChild(const SalvorPlatChild &child, int *exitCode)
{
   int status = 0;
   pid_t got;
   do {
      got = waitpid((pid_t)child.pid, &status, WNOHANG);
   } while (got < 0 && errno == EINTR);
   if (got == 0) {
      return false;
   }
   if (got < 0) {
      *exitCode = -1;  // someone else reaped it: its status is gone
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
