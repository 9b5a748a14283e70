// The portable part of the calls below an open directory and on open
// handles; see fileDir.h. The platform's error of a failure becomes the
// errno-style result through the library's one table.
#include "lib/file/fileDir.h"

#include "lib/file/file.h"
#include "lib/file/fileDirPlatform.h"

namespace {

// The errno-style code of the platform's last error, which stays set.
int
FileDirFailure(const char *name)
{
   return FileMapPlatformError(name, FilePlat_LastError());
}

}  // namespace

int
FileIO_OpenAppend(const char *path, int mode, FileHandle *file)
{
   *file = FilePlat_OpenAppend(path, mode);
   return *file == FILE_INVALID_HANDLE ? FileDirFailure("FileIO_OpenAppend") : 0;
}

int
FileIO_AppendWhole(FileHandle file, const void *data, size_t length)
{
   return FilePlat_AppendWhole(file, data, length) ? 0 : FileDirFailure("FileIO_AppendWhole");
}

void
FileIO_CloseHandle(FileHandle file)
{
   FilePlat_CloseHandle(file);
}

int
FileIO_GetSize(const FileIOFile *file, uint64_t *size)
{
   if (!FileIO_IsValid(file)) {
      return FileMapPlatformError("FileIO_GetSize", FILEPLAT_ERR_INVALID_PARAMETER);
   }
   return FilePlat_HandleSize(file->handle, size) ? 0 : FileDirFailure("FileIO_GetSize");
}

int
File_FreeBytes(const char *path, uint64_t *freeBytes)
{
   return FilePlat_FreeBytes(path, freeBytes) ? 0 : FileDirFailure("File_FreeBytes");
}

FileProgramCheck
File_CheckProgram(const char *path, int *err)
{
   *err = 0;
   if (!FilePlat_IsFullPath(path)) {
      return FILE_PROGRAM_RELATIVE;
   }
   // Links followed: a link to a program runs the program.
   FilePlatFileType type;
   if (!FilePlat_GetTargetType(path, &type)) {
      *err = FileDirFailure("File_CheckProgram");
      return FILE_PROGRAM_MISSING;
   }
   if (type != FILEPLAT_TYPE_REGULAR) {
      return FILE_PROGRAM_NOT_FILE;
   }
   return FilePlat_MayExecute(path) ? FILE_PROGRAM_OK : FILE_PROGRAM_NOT_EXECUTABLE;
}

int
File_OpenDirAt(FileHandle dir, const char *name, FileHandle *sub)
{
   *sub = FilePlat_OpenSubdir(dir, name, false, 0);
   return *sub == FILE_INVALID_HANDLE ? FileDirFailure("File_OpenDirAt") : 0;
}

int
File_ListDirAt(FileHandle dir, std::vector<FileDirEntry> *entries)
{
   return FilePlat_ListDirAt(dir, entries) ? 0 : FileDirFailure("File_ListDirAt");
}

int
File_RemoveDirAt(FileHandle dir, const char *name)
{
   return FilePlat_RemoveDirAt(dir, name) ? 0 : FileDirFailure("File_RemoveDirAt");
}
