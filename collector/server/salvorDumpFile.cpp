// Dump files; see salvorDumpFile.h.
#include "collector/server/salvorDumpFile.h"

#include <cstdio>
#include <ctime>

#include "collector/startup/salvorConfig.h"
#include "lib/file/file.h"
#include "lib/log/log.h"
#include "lib/string/str.h"

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
   if (!File_MakeDirTree(dir, nullptr)) {
      Log("Error creating directory \"%s\"\n", dir);
   }
   time_t now = time(nullptr);
   struct tm local;
   localtime_r(&now, &local);

   FileIOStatus status = FILEIO_ERROR;
   int tries = 0;
   for (; tries < SALVOR_MAX_NAME_TRIES; tries++) {
      int n = Str_Snprintf(name, nameSize, "%s%szdump_%d.%d.%d.%d-%d-%02d-%02d-%02d_%02d-%d",
                           dir, DIRSEPS, SALVOR_IP_BYTES(clientIP), local.tm_year + 1900,
                           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, tries);
      if (n < 0) {
         // A data directory this long cannot hold dump names: refuse the
         // dump rather than stop the collector for every client.
         status = FILEIO_NAME_LONG;
         break;
      }
      status = FileIO_OpenPathMode(fd, name, FILEIO_ACCESS_READ | FILEIO_ACCESS_WRITE,
                                   FILEIO_ACTION_CREATE_NEW, SALVOR_DUMP_FILE_MODE);
      if (status != FILEIO_EXISTS) {
         break;
      }
      if (SalvorConfig.verbose) {
         Log("File name %s exists, trying next one.\n", name);
      }
   }
   return tries == SALVOR_MAX_NAME_TRIES ? FILEIO_ERROR : status;
}



