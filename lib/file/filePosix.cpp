// POSIX back end of the file library's platform layer; see filePlatform.h.
//
// errno is the thread's last error. POSIX has no share modes: the
// FILEIO_DENY_* and FILEIO_SHARE_DELETE bits are accepted and otherwise
// ignored, and a file held by another process, where the system reports it
// at all, shows as EBUSY or ETXTBSY, which stand for the sharing violation.
// Every call first asks the failure seam so that tests can make it fail.
#include "lib/file/filePlatform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include "lib/file/file.h"
#include "lib/file/fileIO.h"
#include "lib/misc/platFaultPosix.h"
#include "lib/misc/utilScoped.h"

const int FILEPLAT_ERR_NOT_FOUND = ENOENT;
const int FILEPLAT_ERR_PATH_NOT_FOUND = ENOTDIR;
const int FILEPLAT_ERR_ACCESS_DENIED = EACCES;
const int FILEPLAT_ERR_SHARING_VIOLATION = EBUSY;
const int FILEPLAT_ERR_EXISTS = EEXIST;
const int FILEPLAT_ERR_NAME_TOO_LONG = ENAMETOOLONG;
const int FILEPLAT_ERR_OPEN_NAME_TOO_LONG = ENAMETOOLONG;
const int FILEPLAT_ERR_INVALID_ADDRESS = EFAULT;
const int FILEPLAT_ERR_INVALID_PARAMETER = EINVAL;
// readdir() ends a listing by returning null and leaving errno alone.
const int FILEPLAT_ERR_NO_MORE_FILES = 0;
const int FILEPLAT_ERR_LOCK_VIOLATION = EAGAIN;
const int FILEPLAT_ERR_IS_LINK = ELOOP;  // O_NOFOLLOW
// Public in file.h, for callers that refuse a long name themselves.
const int FILE_ERR_NAME_TOO_LONG = ENAMETOOLONG;

const bool FILEPLAT_DRIVE_LETTERS = false;
// A backslash is an ordinary file-name character, and "//srv" is "/srv".
const bool FILEPLAT_BACKSLASH_SEPARATES = false;
const bool FILEPLAT_NETWORK_VOLUMES = false;
const int64_t FILEPLAT_TIME_UNITS_PER_SEC = 1;

// Mostly identity: the codes are errno values already. EPERM is folded
// into EACCES, as callers only distinguish "not allowed".
const FilePlatErrnoRow FILEPLAT_ERRNO_TABLE[] = {
   {EPERM, EACCES},          {ENOENT, ENOENT},   {EIO, EIO},
   {ENXIO, ENXIO},           {EBADF, EBADF},     {ENOMEM, ENOMEM},
   {EACCES, EACCES},         {EFAULT, EFAULT},   {EBUSY, EBUSY},
   {EEXIST, EEXIST},         {EXDEV, EXDEV},     {ENODEV, ENODEV},
   {ENOTDIR, ENOTDIR},       {EISDIR, EISDIR},   {EINVAL, EINVAL},
   {ENFILE, ENFILE},         {EMFILE, EMFILE},   {ETXTBSY, ETXTBSY},
   {EFBIG, EFBIG},           {ENOSPC, ENOSPC},   {ESPIPE, ESPIPE},
   {EROFS, EROFS},           {EMLINK, EMLINK},   {ENAMETOOLONG, ENAMETOOLONG},
   {ENOSYS, ENOSYS},         {ENOTEMPTY, ENOTEMPTY}, {ELOOP, ELOOP},
   {EDQUOT, EDQUOT},         {EOVERFLOW, EOVERFLOW}, {ENOTSUP, ENOTSUP},
   {ESTALE, ESTALE},         {EAGAIN, EAGAIN},
};
const size_t FILEPLAT_ERRNO_TABLE_SIZE =
   sizeof FILEPLAT_ERRNO_TABLE / sizeof FILEPLAT_ERRNO_TABLE[0];

FilePlatErrClass
FilePlat_ErrorClass(int err)
{
   switch (err) {
   case ENOENT:
   case ENOTDIR:
      return FILEPLAT_EC_NOT_FOUND;
   case EACCES:
   case EPERM:
      return FILEPLAT_EC_ACCESS_DENIED;
   case EROFS:
      return FILEPLAT_EC_NO_PERM;
   case EBUSY:
   case ETXTBSY:
      return FILEPLAT_EC_SHARING_VIOLATION;
   case EEXIST:
      return FILEPLAT_EC_EXISTS;
   case ENAMETOOLONG:
      return FILEPLAT_EC_NAME_TOO_LONG;
   case ENOSPC:
      return FILEPLAT_EC_NO_SPACE;
   case EDQUOT:
      return FILEPLAT_EC_QUOTA;
   case EFBIG:
      return FILEPLAT_EC_TOO_BIG;
   default:
      return FILEPLAT_EC_OTHER;
   }
}

int
FilePlat_LastError()
{
   return errno;
}

void
FilePlat_SetLastError(int err)
{
   errno = err;
}

const char *
FilePlat_ErrorText(int err)
{
   return std::strerror(err);
}

bool
FilePlat_PathTooLong(const char *path)
{
   return std::strlen(path) >= PATH_MAX;
}

namespace {

FilePlatHandle
OpenAt(int dir, const char *path, uint32_t access, int disposition, int mode, int extraFlags)
{
   if (!PlatFault_Allowed(PLAT_OPEN)) {
      return FILEPLAT_INVALID_HANDLE;
   }
   int flags = O_CLOEXEC | extraFlags;
   bool rd = (access & FILEIO_ACCESS_READ) != 0;
   bool wr = (access & FILEIO_ACCESS_WRITE) != 0;
   flags |= rd && wr ? O_RDWR : wr ? O_WRONLY : O_RDONLY;
   if (!wr) {
      // A FIFO planted where a file is expected would hold a read-only
      // open (and then every read) until some writer came; regular files
      // and directories do not heed the flag.
      flags |= O_NONBLOCK;
   }
   if (access & FILEIO_APPEND) {
      flags |= O_APPEND;
   }
   if (access & FILEIO_SYNC_WRITES) {
      flags |= O_DSYNC;
   }
   // FILEIO_UNBUFFERED and FILEIO_ASYNC are not mapped: O_DIRECT would
   // demand aligned buffers of every caller, and nothing here is overlapped.
   switch (disposition) {
   case FILEIO_ACTION_OPEN:
      break;
   case FILEIO_ACTION_TRUNCATE:
      flags |= O_TRUNC;
      break;
   case FILEIO_ACTION_OPEN_OR_CREATE:
      flags |= O_CREAT;
      break;
   case FILEIO_ACTION_CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
   case FILEIO_ACTION_CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
   default:
      errno = EINVAL;
      return FILEPLAT_INVALID_HANDLE;
   }
   int fd = Util_RetryOnEintr([&] { return openat(dir, path, flags, mode == 0 ? 0666 : mode); });
   if (fd < 0) {
      return FILEPLAT_INVALID_HANDLE;
   }
   if (access & FILEIO_SEQUENTIAL) {
      // A hint only; its failure does not matter.
      (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
   }
   return fd;
}

}  // namespace

FilePlatHandle
FilePlat_Open(const char *path, uint32_t access, int disposition, int mode)
{
   return OpenAt(AT_FDCWD, path, access, disposition, mode, 0);
}

FilePlatHandle
FilePlat_OpenAt(FilePlatHandle dir, const char *name, uint32_t access, int disposition,
                int mode)
{
   return OpenAt((int)dir, name, access, disposition, mode, O_NOFOLLOW);
}

FilePlatHandle
FilePlat_OpenDirHandle(const char *path)
{
   if (!PlatFault_Allowed(PLAT_OPEN)) {
      return FILEPLAT_INVALID_HANDLE;
   }
   int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
   return fd < 0 ? FILEPLAT_INVALID_HANDLE : fd;
}

FilePlatHandle
FilePlat_OpenSubdir(FilePlatHandle parent, const char *name, bool create, int mode)
{
   // O_NOFOLLOW with O_DIRECTORY: a link in the way fails with ELOOP (or
   // ENOTDIR), whatever it points at.
   constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
   if (!PlatFault_Allowed(PLAT_OPEN)) {
      return FILEPLAT_INVALID_HANDLE;
   }
   int fd = openat((int)parent, name, flags);
   if (fd < 0 && errno == ELOOP) {
      errno = ENOTDIR;  // a link where a directory belongs
   }
   if (fd >= 0 || errno != ENOENT || !create) {
      return fd < 0 ? FILEPLAT_INVALID_HANDLE : fd;
   }
   if (!PlatFault_Allowed(PLAT_MKDIR)) {
      return FILEPLAT_INVALID_HANDLE;
   }
   // Another process may make it between the two calls: that is no failure.
   if (mkdirat((int)parent, name, (mode_t)mode) != 0 && errno != EEXIST) {
      return FILEPLAT_INVALID_HANDLE;
   }
   if (!PlatFault_Allowed(PLAT_OPEN)) {
      return FILEPLAT_INVALID_HANDLE;
   }
   fd = openat((int)parent, name, flags);
   if (fd < 0 && errno == ELOOP) {
      errno = ENOTDIR;  // a link where a directory belongs
   }
   return fd < 0 ? FILEPLAT_INVALID_HANDLE : fd;
}

void
FilePlat_CloseHandle(FilePlatHandle h)
{
   if (h != FILEPLAT_INVALID_HANDLE) {
      UtilSavedError keep;
      close((int)h);
   }
}

bool
FilePlat_SetMode(FilePlatHandle h, int mode)
{
   return PlatFault_Allowed(PLAT_STAT) && fchmod((int)h, (mode_t)mode) == 0;
}

int
FilePlat_CreationMask()
{
   // /proc tells the mask without changing it, which umask() cannot do
   // safely once other threads may create files.
   FILE *f = std::fopen("/proc/self/status", "re");
   if (f != nullptr) {
      char line[128];
      unsigned mask = 0;
      bool found = false;
      while (!found && std::fgets(line, sizeof line, f) != nullptr) {
         found = std::sscanf(line, "Umask: %o", &mask) == 1;
      }
      std::fclose(f);
      if (found) {
         return (int)mask;
      }
   }
   mode_t mask = umask(022);
   umask(mask);
   return (int)mask;
}

bool
FilePlat_ReadAt(FilePlatHandle h, void *buf, size_t count, int64_t offset, size_t *got)
{
   *got = 0;
   if (!PlatFault_Allowed(PLAT_READ, nullptr, h)) {
      return false;
   }
   ssize_t n = Util_RetryOnEintr([&] { return pread((int)h, buf, count, (off_t)offset); });
   if (n < 0) {
      return false;
   }
   *got = (size_t)n;
   return true;
}

bool
FilePlat_WriteAt(FilePlatHandle h, const void *buf, size_t count, int64_t offset, size_t *put)
{
   *put = 0;
   size_t len = count;
   if (!PlatFault_Allowed(PLAT_WRITE, &len, h)) {
      return false;
   }
   // On a descriptor opened with O_APPEND this appends, as promised.
   ssize_t n = Util_RetryOnEintr([&] { return pwrite((int)h, buf, len, (off_t)offset); });
   if (n < 0) {
      return false;
   }
   if (n == 0 && len > 0) {
      // Would make the caller's loop spin; no regular file does this.
      errno = EIO;
      return false;
   }
   *put = (size_t)n;
   return true;
}

bool
FilePlat_WriteVAt(FilePlatHandle h, const FilePlatPiece *pieces, int n, int64_t offset,
                  size_t *put)
{
   *put = 0;
   size_t len;
   if (!FilePiecesTotal(pieces, n, &len)) {
      return false;
   }
   if (!PlatFault_Allowed(PLAT_WRITE, &len, h)) {
      return false;
   }
   iovec iov[FILEPLAT_MAX_PIECES];
   int count = 0;
   // An injected short write keeps only the first len bytes.
   for (size_t left = len; count < n && left > 0; count++) {
      size_t piece = pieces[count].length < left ? pieces[count].length : left;
      iov[count] = {const_cast<void *>(pieces[count].data), piece};
      left -= piece;
   }
   ssize_t written =
      Util_RetryOnEintr([&] { return pwritev((int)h, iov, count, (off_t)offset); });
   if (written < 0) {
      return false;
   }
   if (written == 0 && len > 0) {
      errno = EIO;
      return false;
   }
   *put = (size_t)written;
   return true;
}

int64_t
FilePlat_Seek(FilePlatHandle h, int64_t offset, int origin, int64_t current)
{
   if (!PlatFault_Allowed(PLAT_SEEK)) {
      return -1;
   }
   if (h < 0) {
      errno = EBADF;  // what lseek says of a closed record's handle
      return -1;
   }
   if (origin == FILEIO_SEEK_END) {
      return lseek((int)h, (off_t)offset, SEEK_END);
   }
   int64_t position = FileSeekTarget(offset, origin, current);
   if (position < 0) {
      errno = EINVAL;
      return -1;
   }
   return position;
}

bool
FilePlat_Close(FilePlatHandle h, const char *path, uint32_t access)
{
   int injected = PlatFault_Check(PLAT_CLOSE);
   // close() releases the descriptor even when it reports an error, so an
   // injected failure must not leak it either.
   bool ok = close((int)h) == 0 && injected == 0;
   int err = injected != 0 ? injected : errno;
   if ((access & FILEIO_DELETE_ON_CLOSE) && path != nullptr &&
       PlatFault_Allowed(PLAT_UNLINK)) {
      (void)unlink(path);
   }
   errno = ok ? 0 : err;
   return ok;
}

bool
FilePlat_Rename(const char *from, const char *to)
{
   return PlatFault_Allowed(PLAT_RENAME) && rename(from, to) == 0;
}

bool
FilePlat_Delete(const char *path)
{
   return PlatFault_Allowed(PLAT_UNLINK) && unlink(path) == 0;
}

bool
FilePlat_CreateDirectory(const char *path, int mode)
{
   return PlatFault_Allowed(PLAT_MKDIR) && mkdir(path, (mode_t)mode) == 0;
}

bool
FilePlat_RemoveDirectory(const char *path)
{
   return PlatFault_Allowed(PLAT_RMDIR) && rmdir(path) == 0;
}

bool
FilePlat_GetAttributes(const char *path, FilePlatAttrs *attrs)
{
   struct stat st;
   if (!PlatFault_Allowed(PLAT_STAT) || stat(path, &st) != 0) {
      return false;
   }
   if (attrs != nullptr) {
      attrs->accessTime = st.st_atime;
      // POSIX keeps no creation time; the status change time is closest.
      attrs->creationTime = st.st_ctime;
      attrs->writeTime = st.st_mtime;
      attrs->size = (uint64_t)st.st_size;
      attrs->isDirectory = S_ISDIR(st.st_mode);
      attrs->readOnly = (st.st_mode & 0222) == 0;
   }
   return true;
}

bool
FilePlat_GetFileType(const char *path, FilePlatFileType *type)
{
   struct stat st;
   if (!PlatFault_Allowed(PLAT_STAT) || lstat(path, &st) != 0) {
      return false;
   }
   *type = S_ISREG(st.st_mode)   ? FILEPLAT_TYPE_REGULAR
           : S_ISDIR(st.st_mode) ? FILEPLAT_TYPE_DIRECTORY
           : S_ISLNK(st.st_mode) ? FILEPLAT_TYPE_LINK
                                 : FILEPLAT_TYPE_OTHER;
   return true;
}

bool
FilePlat_GetTargetType(const char *path, FilePlatFileType *type)
{
   struct stat st;
   if (!PlatFault_Allowed(PLAT_STAT) || stat(path, &st) != 0) {
      return false;
   }
   *type = S_ISREG(st.st_mode)   ? FILEPLAT_TYPE_REGULAR
           : S_ISDIR(st.st_mode) ? FILEPLAT_TYPE_DIRECTORY
                                 : FILEPLAT_TYPE_OTHER;
   return true;
}

/*
 * The mode's group bits are the ACL mask where the file has an ACL, and
 * no named entry grants more than the mask: the mode alone tells.
 */
bool
FilePlat_OthersMayRead(const char *path, bool *others)
{
   struct stat st;
   if (!PlatFault_Allowed(PLAT_STAT) || stat(path, &st) != 0) {
      return false;
   }
   *others = (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
   return true;
}

bool
FilePlat_GetIdentity(FilePlatHandle h, FilePlatFileId *id, uint64_t *links)
{
   struct stat st;
   if (!PlatFault_Allowed(PLAT_STAT) || fstat((int)h, &st) != 0) {
      return false;
   }
   *id = FilePlatFileId{(uint64_t)st.st_dev, (uint64_t)st.st_ino};
   *links = (uint64_t)st.st_nlink;
   return true;
}

bool
FilePlat_GetIdentityAt(FilePlatHandle dir, const char *name, FilePlatFileId *id)
{
   struct stat st;
   if (!PlatFault_Allowed(PLAT_STAT) || fstatat((int)dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return false;
   }
   *id = FilePlatFileId{(uint64_t)st.st_dev, (uint64_t)st.st_ino};
   return true;
}

bool
FilePlat_DeleteAt(FilePlatHandle dir, const char *name)
{
   return PlatFault_Allowed(PLAT_UNLINK) && unlinkat((int)dir, name, 0) == 0;
}

bool
FilePlat_IsBlockDevice(const char *path)
{
   struct stat st;
   return PlatFault_Allowed(PLAT_STAT) && stat(path, &st) == 0 && S_ISBLK(st.st_mode);
}

struct FilePlatDir {
   DIR *dir;
};

FilePlatDir *
FilePlat_OpenDir(const char *path)
{
   if (!PlatFault_Allowed(PLAT_LISTDIR)) {
      return nullptr;
   }
   DIR *d = opendir(path);
   return d == nullptr ? nullptr : new FilePlatDir{d};
}

bool
FilePlat_ReadDir(FilePlatDir *dir, std::string *name)
{
   if (!PlatFault_Allowed(PLAT_LISTDIR)) {
      return false;
   }
   errno = 0;
   struct dirent *ent = readdir(dir->dir);
   if (ent == nullptr) {
      return false;  // errno 0 is FILEPLAT_ERR_NO_MORE_FILES
   }
   name->assign(ent->d_name);
   return true;
}

bool
FilePlat_CloseDir(FilePlatDir *dir)
{
   int injected = PlatFault_Check(PLAT_CLOSE);
   bool ok = closedir(dir->dir) == 0 && injected == 0;
   int err = injected != 0 ? injected : errno;
   delete dir;
   errno = ok ? 0 : err;
   return ok;
}

bool
FilePlat_FullPath(const char *path, std::string *out)
{
   if (!PlatFault_Allowed(PLAT_STAT)) {
      return false;
   }
   std::string whole;
   if (path == nullptr || path[0] != '/') {
      std::vector<char> cwd(PATH_MAX);
      if (getcwd(cwd.data(), cwd.size()) == nullptr) {
         return false;
      }
      whole = cwd.data();
      if (path != nullptr) {
         whole += '/';
         whole += path;
      }
   } else {
      whole = path;
   }

   // Resolve "." and ".." by the text alone, as the named file need not
   // exist; ".." above the root stays at the root.
   std::vector<std::string> parts;
   size_t pos = 0;
   while (pos <= whole.size()) {
      size_t end = whole.find('/', pos);
      if (end == std::string::npos) {
         end = whole.size();
      }
      std::string part = whole.substr(pos, end - pos);
      if (part == "..") {
         if (!parts.empty()) {
            parts.pop_back();
         }
      } else if (!part.empty() && part != ".") {
         parts.push_back(part);
      }
      pos = end + 1;
   }
   out->clear();
   for (const std::string &part : parts) {
      *out += '/';
      *out += part;
   }
   if (out->empty()) {
      *out = "/";
   }
   return true;
}

bool
FilePlat_SameFile(const char *a, const char *b)
{
   struct stat sa, sb;
   if (!PlatFault_Allowed(PLAT_STAT) || stat(a, &sa) != 0 || !PlatFault_Allowed(PLAT_STAT) ||
       stat(b, &sb) != 0) {
      return false;
   }
   return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool
FilePlat_IsWritableDir(const char *path)
{
   return PlatFault_Allowed(PLAT_STAT) && access(path, W_OK | X_OK) == 0;
}

bool
FilePlat_VolumeSupportsAcls(const char *root, bool *supports)
{
   struct statvfs vfs;
   if (!PlatFault_Allowed(PLAT_STAT) || statvfs(root, &vfs) != 0) {
      return false;
   }
   // Owner, group and mode bits are kept by every file system that can
   // hold this program's files.
   *supports = true;
   return true;
}

void
FilePlat_SleepMs(uint32_t ms)
{
   struct timespec left = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
   // Each retry sleeps only what the interrupted sleep left.
   Util_RetryOnEintr([&] { return nanosleep(&left, &left); });
}
