// Advisory lock files; see fileLock.h.
//
// The lock-file protocol (lock directories beside the path, with entry and
// member files) comes later. Until then every request is refused with
// ENOSYS, so an open that asks for an advisory lock fails rather than
// running without the exclusion it asked for.
#include "lib/file/fileLock.h"

#include <cerrno>

FileLockToken *
FileLock_Lock(const char *path, bool readOnly, uint32_t msecMaxWait, int *err)
{
   (void)path;
   (void)readOnly;
   (void)msecMaxWait;
   *err = ENOSYS;
   return nullptr;
}

int
FileLock_Unlock(FileLockToken *token)
{
   return token == nullptr ? 0 : ENOSYS;
}
