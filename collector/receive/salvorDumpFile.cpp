// Dump files; see salvorDumpFile.h.
#include "collector/receive/salvorDumpFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "collector/receive/salvorAddress.h"
#include "collector/startup/salvorConfig.h"
#include "lib/file/file.h"
#include "lib/file/fileDir.h"
#include "lib/file/fileIO.h"
#include "lib/log/log.h"
#include "lib/string/str.h"

namespace {

// The full path of the dump's name number `counter`; negative when it
// does not fit.
int
SalvorFormatDumpName(char *name, size_t nameSize, const char *dir, const char *address,
                     const struct tm &local, int counter)
{
   return Str_Snprintf(name, nameSize, "%s%szdump_%s-%d-%02d-%02d-%02d_%02d-%d", dir, DIRSEPS,
                       address, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                       local.tm_hour, local.tm_min, counter);
}

}  // namespace

FileIOStatus
SalvorCreateDumpFile(const NetIp &clientIP, char *name, size_t nameSize, const char *dataDir,
                     FileIOFile *fd)
{
   // The host's directory, one level per number (or group) of its address.
   // A data directory too long for it refuses the dump (the name shows the
   // cut path).
   SalvorHostLevels host(clientIP);
   char levels[8 * 6];
   char address[8 * 5];
   char dir[SALVOR_NAME_SIZE];
   host.Join(DIRSEPS, levels, sizeof levels);
   host.Join(".", address, sizeof address);
   if (Str_Snprintf(dir, sizeof dir, "%s%s%s", dataDir, DIRSEPS, levels) < 0) {
      std::snprintf(name, nameSize, "%s", dir);
      File_SetLastError(FILE_ERR_NAME_TOO_LONG);
      return FILEIO_NAME_LONG;
   }
   // Each level below dataDir is opened relative to the one above it and
   // never through a link, and the file is made in the last of them, so
   // that a link planted anywhere below dataDir leads nowhere.
   FileHandle dirHandle = File_OpenDirTree(dataDir, host.levels, host.count, 0777);
   int dirError = File_LastError();
   if (dirHandle == FILE_INVALID_HANDLE) {
      Log("Error creating directory \"%s\"\n", dir);
   }
   time_t now = time(nullptr);
   struct tm local;
   localtime_r(&now, &local);

   FileIOStatus status = FILEIO_ERROR;
   int tries = 0;
   size_t dirLength = std::strlen(dir) + std::strlen(DIRSEPS);
   for (; tries < SALVOR_MAX_NAME_TRIES; tries++) {
      if (SalvorFormatDumpName(name, nameSize, dir, address, local, tries) < 0) {
         // A data directory this long cannot hold dump names: refuse the
         // dump rather than stop the collector for every client.
         status = FILEIO_NAME_LONG;
         File_SetLastError(FILE_ERR_NAME_TOO_LONG);
         break;
      }
      if (dirHandle == FILE_INVALID_HANDLE) {
         // The create fails for the reason the directory could not be had.
         status = FileIO_StatusOfOpenError(dirError);
         File_SetLastError(dirError);
         break;
      }
      status = FileIO_OpenAtMode(fd, dirHandle, name + dirLength, name,
                                 FILEIO_ACCESS_READ | FILEIO_ACCESS_WRITE,
                                 FILEIO_ACTION_CREATE_NEW, SALVOR_DUMP_PARTIAL_MODE);
      if (status != FILEIO_EXISTS) {
         break;
      }
      if (SalvorConfig.verbose) {
         Log("File name %s exists, trying next one.\n", name);
      }
   }
   File_CloseDirHandle(dirHandle);
   return tries == SALVOR_MAX_NAME_TRIES ? FILEIO_ERROR : status;
}

bool
SalvorFinishDumpFile(FileIOFile *fd)
{
   // Read once: the mask does not change while the collector runs.
   static const int finishedMode = SALVOR_DUMP_FILE_MODE & ~File_CreationMask();
   return FileIO_SetMode(fd, finishedMode);
}

namespace {

/*
 * Removes the name of a closed dump file `id` from the host's directory,
 * reached from dataDir one level at a time without following a link;
 * logs why when it leaves the file.
 */
bool
SalvorUnlinkDumpFile(const NetIp &clientIP, const char *fileName, const char *dataDir,
                     const FileId &id)
{
   SalvorHostLevels host(clientIP);
   FileHandle dir = File_OpenExistingDirTree(dataDir, host.levels, host.count);
   if (dir == FILE_INVALID_HANDLE) {
      Log("Failed to unlink file (%s): its directory cannot be opened without following a "
          "link (%s). The file is left in place.\n", fileName,
          File_ErrorText(File_LastError()));
      return false;
   }
   const char *base = std::strrchr(fileName, DIRSEPC);
   int err = File_RemoveAtIfSame(dir, base != nullptr ? base + 1 : fileName, &id);
   int platErr = File_LastError();
   File_CloseDirHandle(dir);
   if (err == ESTALE) {
      Log("Failed to unlink file (%s): the name no longer stands for the dump's file. The "
          "file is left in place.\n", fileName);
   } else if (err != 0) {
      Log("Failed to unlink file (%s): %s.\n", fileName, File_ErrorText(platErr));
   }
   return err == 0;
}

}  // namespace

bool
SalvorRemovePartialDump(FileIOFile *fd, const NetIp &clientIP, const char *fileName,
                        const char *dataDir)
{
   // Which file it is, taken while it is open: afterwards the name alone
   // could stand for anything.
   FileId id;
   uint64_t links = 0;
   bool known = FileIO_GetIdentity(fd, &id, &links);
   int idErr = File_LastError();
   if (FileIO_CloseFile(fd)) {
      Log("Error closing file (%s): %s\n", fileName, File_ErrorText(File_LastError()));
   }
   if (!known) {
      Log("Failed to unlink file (%s): %s. The file is left in place.\n", fileName,
          File_ErrorText(idErr));
      return false;
   }
   return SalvorUnlinkDumpFile(clientIP, fileName, dataDir, id);
}

int64_t
SalvorDumpFileSize(const FileIOFile *fd)
{
   uint64_t size = 0;
   if (!FileIO_IsValid(fd) || FileIO_GetSize(fd, &size) != 0) {
      return -1;
   }
   return (int64_t)size;
}
