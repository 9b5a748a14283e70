// Dump files; see salvorDumpFile.h.
#include "collector/server/salvorDumpFile.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "collector/startup/salvorConfig.h"
#include "lib/file/file.h"
#include "lib/log/log.h"
#include "lib/string/str.h"

namespace {

// The full path of the dump's name number `counter`; negative when it
// does not fit.
int
FormatDumpName(char *name, size_t nameSize, const char *dir, uint32_t clientIP,
               const struct tm &local, int counter)
{
   return Str_Snprintf(name, nameSize, "%s%szdump_%d.%d.%d.%d-%d-%02d-%02d-%02d_%02d-%d", dir,
                       DIRSEPS, SALVOR_IP_BYTES(clientIP), local.tm_year + 1900,
                       local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, counter);
}

}  // namespace

FileIOStatus
SalvorCreateDumpFile(uint32_t clientIP, char *name, size_t nameSize, const char *dataDir,
                     FileIOFile *fd)
{
   // The host's directory, one level per address byte. A data directory
   // too long for it refuses the dump (the name shows the cut path).
   char dir[SALVOR_NAME_SIZE];
   if (Str_Snprintf(dir, sizeof dir, "%s%s%u%s%u%s%u%s%u", dataDir, DIRSEPS, clientIP >> 24,
                    DIRSEPS, (clientIP >> 16) & 0xff, DIRSEPS, (clientIP >> 8) & 0xff, DIRSEPS,
                    clientIP & 0xff) < 0) {
      std::snprintf(name, nameSize, "%s", dir);
      return FILEIO_NAME_LONG;
   }
   // Each level below dataDir is opened relative to the one above it and
   // never through a link, and the file is made in the last of them, so
   // that a link planted anywhere below dataDir leads nowhere.
   char levelText[4][4];
   const char *levels[4];
   for (int i = 0; i < 4; i++) {
      std::snprintf(levelText[i], sizeof levelText[i], "%u", (clientIP >> (24 - 8 * i)) & 0xff);
      levels[i] = levelText[i];
   }
   FilePlatHandle dirHandle = File_OpenDirTree(dataDir, levels, 4, 0777);
   int dirError = FilePlat_LastError();
   if (dirHandle == FILEPLAT_INVALID_HANDLE) {
      Log("Error creating directory \"%s\"\n", dir);
   }
   time_t now = time(nullptr);
   struct tm local;
   localtime_r(&now, &local);

   FileIOStatus status = FILEIO_ERROR;
   int tries = 0;
   size_t dirLength = std::strlen(dir) + std::strlen(DIRSEPS);
   for (; tries < SALVOR_MAX_NAME_TRIES; tries++) {
      if (FormatDumpName(name, nameSize, dir, clientIP, local, tries) < 0) {
         // A data directory this long cannot hold dump names: refuse the
         // dump rather than stop the collector for every client.
         status = FILEIO_NAME_LONG;
         break;
      }
      if (dirHandle == FILEPLAT_INVALID_HANDLE) {
         // The create fails for the reason the directory could not be had.
         status = FileIO_StatusOfOpenError(dirError);
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
   FilePlat_CloseHandle(dirHandle);
   return tries == SALVOR_MAX_NAME_TRIES ? FILEIO_ERROR : status;
}

bool
SalvorFinishDumpFile(FileIOFile *fd)
{
   // Read once: the mask does not change while the collector runs.
   static const int finishedMode = SALVOR_DUMP_FILE_MODE & ~FilePlat_CreationMask();
   return FileIO_SetMode(fd, finishedMode);
}
