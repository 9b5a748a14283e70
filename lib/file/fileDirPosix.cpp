// POSIX back end of the calls below an open directory and on open
// handles; see fileDirPlatform.h. errno is the last error.
#include "lib/file/fileDirPlatform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "lib/misc/platFaultPosix.h"
#include "lib/misc/utilScoped.h"

namespace {

// The entry `name` below `dir` as it is, no link followed; false when gone.
bool
FileDirEntryAt(int dir, const char *name, FileDirEntry *e)
{
   struct stat st;
   if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return false;
   }
   *e = FileDirEntry{};
   std::snprintf(e->name, sizeof e->name, "%s", name);
   e->isDir = S_ISDIR(st.st_mode);
   e->isFile = S_ISREG(st.st_mode);
   e->ownerWritable = (st.st_mode & S_IWUSR) != 0;
   e->mtimeSec = (int64_t)st.st_mtim.tv_sec;
   e->mtimeNsec = (int64_t)st.st_mtim.tv_nsec;
   e->size = (uint64_t)st.st_size;
   e->id = FileId{(uint64_t)st.st_dev, (uint64_t)st.st_ino};
   return true;
}

}  // namespace

FilePlatHandle
FilePlat_OpenAppend(const char *path, int mode)
{
   if (!PlatFault_Allowed(PLAT_OPEN)) {
      return FILEPLAT_INVALID_HANDLE;
   }
   int fd = Util_RetryOnEintr([&] {
      return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
   });
   return fd < 0 ? FILEPLAT_INVALID_HANDLE : fd;
}

bool
FilePlat_AppendWhole(FilePlatHandle h, const void *data, size_t length)
{
   size_t tried = length;
   if (!PlatFault_Allowed(PLAT_WRITE, &tried, h)) {
      return false;
   }
   int fd = (int)h;
   ssize_t n = Util_RetryOnEintr([&] { return write(fd, data, tried); });
   if (n == (ssize_t)length) {
      return true;
   }
   if (n >= 0) {
      // A full file system took part of it: cut that back, so that the
      // next record does not join a half one. O_APPEND left the offset at
      // the end of what was written.
      off_t end = lseek(fd, 0, SEEK_CUR);
      if (n > 0 && end >= n && ftruncate(fd, end - n) != 0) {
         return false;
      }
      errno = ENOSPC;
   }
   return false;
}

bool
FilePlat_HandleSize(FilePlatHandle h, uint64_t *size)
{
   struct stat st;
   if (!PlatFault_Allowed(PLAT_STAT, nullptr, h) || fstat((int)h, &st) != 0) {
      return false;
   }
   *size = (uint64_t)st.st_size;
   return true;
}

bool
FilePlat_FreeBytes(const char *path, uint64_t *freeBytes)
{
   struct statvfs vfs;
   if (!PlatFault_Allowed(PLAT_STAT) || statvfs(path, &vfs) != 0) {
      return false;
   }
   *freeBytes = (uint64_t)vfs.f_bavail * vfs.f_frsize;
   return true;
}

bool
FilePlat_IsFullPath(const char *path)
{
   return path[0] == '/';
}

bool
FilePlat_MayExecute(const char *path)
{
   return PlatFault_Allowed(PLAT_STAT) && access(path, X_OK) == 0;
}

bool
FilePlat_ListDirAt(FilePlatHandle dir, std::vector<FileDirEntry> *entries)
{
   if (!PlatFault_Allowed(PLAT_LISTDIR, nullptr, dir)) {
      return false;
   }
   // The stream gets a descriptor of its own: closing it leaves `dir` open.
   UtilFd fd(fcntl((int)dir, F_DUPFD_CLOEXEC, 0));
   if (!fd) {
      return false;
   }
   UtilDirStream stream(fdopendir(fd.Get()));
   if (!stream) {
      return false;
   }
   fd.Take();  // the stream's now
   rewinddir(stream.Get());
   errno = 0;
   while (dirent *d = readdir(stream.Get())) {
      FileDirEntry e;
      if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0 &&
          FileDirEntryAt((int)dir, d->d_name, &e)) {
         entries->push_back(e);
      }
      errno = 0;
   }
   return errno == 0;
}

bool
FilePlat_RemoveDirAt(FilePlatHandle dir, const char *name)
{
   return PlatFault_Allowed(PLAT_RMDIR) && unlinkat((int)dir, name, AT_REMOVEDIR) == 0;
}
