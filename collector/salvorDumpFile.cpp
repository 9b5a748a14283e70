// Dump files; see salvorDumpFile.h.
#include "collector/salvorDumpFile.h"

#include <cstdlib>
#include <ctime>

#include "collector/salvorConfig.h"
#include "collector/salvorServer.h"
#include "collector/salvorSlots.h"
#include "lib/file/file.h"
#include "lib/log/log.h"
#include "lib/string/str.h"

FileIOStatus
SalvorCreateDumpFile(uint32_t clientIP, char *name, size_t nameSize, const char *dataDir,
                     FileIOFile *fd)
{
   char *dir = Str_Asprintf(nullptr, "%s%s%u%s%u%s%u%s%u", dataDir, DIRSEPS, clientIP >> 24,
                            DIRSEPS, (clientIP >> 16) & 0xff, DIRSEPS, (clientIP >> 8) & 0xff,
                            DIRSEPS, clientIP & 0xff);
   if (dir == nullptr) {
      SalvorFatal("Out of memory. Couldn't allocate space for core dir path.\n");
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
   std::free(dir);
   return tries == SALVOR_MAX_NAME_TRIES ? FILEIO_ERROR : status;
}

uint32_t
SalvorCreateFailureStatus(FileIOStatus status, const char *name, const char *dataDir)
{
   Log("Error opening new file %s (%s). Make sure that you have permissions to create "
       "files in %s directory\n", name, FileIO_MsgError(status), dataDir);
   if (status == FILEIO_ERROR) {
      Log("Got FILEIO_ERROR while creating file. returning hxk_limit_exceeded.\n");
      return hxk_limit_exceeded;
   }
   return hxk_create_failed;
}

void
SalvorHandleData(const salvorMsgHeader *request, const uint8_t *payload, uint32_t clientIP,
                 size_t datagramLength, salvorMsgHeader *reply)
{
   salvorCoreDumpInfo *slot = SalvorFindSlot(clientIP, request);
   if (slot == nullptr) {
      reply->status = hxk_invalid_dump;
      return;
   }
   if (FileIO_SetPos(&slot->fd, request->dataOffset, FILEIO_SEEK_BEGIN) < 0) {
      Log("Error seeking in file (%s)\n", slot->fileName);
      reply->status = hxk_write_failed;
      return;
   }
   uint32_t payloadLength = (uint32_t)(datagramLength - SALVOR_HEADER_SIZE);
   if (request->dataLength > payloadLength) {
      Log("dataLength (%u) bigger than it should be (%u).\n", request->dataLength,
          payloadLength);
      reply->status = hxk_write_failed;
      return;
   }
   size_t written = 0;
   FileIO_WriteBytes(&slot->fd, payload, payloadLength, &written);
   if (written != payloadLength) {
      Log("Error: did not write full buffer to file (%s). Tried to write %u bytes. "
          "Only %u written.\n", slot->fileName, payloadLength, (unsigned)written);
      reply->status = hxk_write_failed;
      return;
   }
   if (SalvorConfig.verbose) {
      uint64_t now = SalvorClockUsec();
      Log("ip:%x)Wrote %d bytes to file @ %d (%I64u usec since last)\n", clientIP,
          (int)written, (int)request->dataOffset, (unsigned long long)(now - slot->lastActivity));
   }
   reply->status = hxk_success;
}

void
SalvorHandleDone(uint32_t clientIP, const salvorMsgHeader *request, salvorMsgHeader *reply)
{
   if (SalvorConfig.verbose) {
      Log("ip:%x)message type: 'done'.\n", clientIP);
   }
   reply->status = hxk_success;
   salvorCoreDumpInfo *slot = SalvorFindSlot(clientIP, request);
   if (slot == nullptr) {
      return;
   }
   Log("Dump finished successfully for %u.%u.%u.%u, slot %d, file:%s.\n", SALVOR_IP_BYTES(clientIP),
       (int)request->dumpID, slot->fileName);
   if (FileIO_CloseFile(&slot->fd)) {
      Log("Error closing file (%s)\n", slot->fileName);
   }
   SalvorReleaseSlot(slot);
}
