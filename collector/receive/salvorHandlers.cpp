// The handlers of the four request types; see salvorHandlers.h.
#include "collector/receive/salvorHandlers.h"

#include <cstring>

#include "collector/receive/salvorAddress.h"
#include "collector/receive/salvorCounters.h"
#include "collector/receive/salvorDumpEvents.h"
#include "collector/receive/salvorDumpFile.h"
#include "collector/receive/salvorHostLog.h"
#include "collector/receive/salvorSlots.h"
#include "collector/startup/salvorConfig.h"
#include "lib/file/file.h"
#include "lib/log/log.h"

namespace {

// Turns a failed create into the init's reply status, with its log lines.
uint32_t
SalvorCreateFailureStatus(FileIOStatus status, int err, const char *name, const char *dataDir)
{
   Log("Error opening new file %s (%s: %s). Make sure that you have permissions to create "
       "files in %s directory\n", name, FileIO_MsgError(status), File_ErrorText(err),
       dataDir);
   if (status == FILEIO_ERROR) {
      Log("Got FILEIO_ERROR while creating file. returning hxk_limit_exceeded.\n");
      salvorReceiveCounters.refused[SALVOR_REFUSED_NAMES_TAKEN]++;
      return hxk_limit_exceeded;
   }
   salvorReceiveCounters.refused[SALVOR_REFUSED_CREATE_FAILED]++;
   return hxk_create_failed;
}

/*
 * Whether a dump's file still has a name: one deleted, or whose directory
 * was removed, while it was written keeps its bytes only until it is
 * closed. Logs why when it has none, or when that cannot be told.
 */
bool
SalvorDumpFileIsKept(const salvorCoreDumpInfo *slot, const NetIp &clientIP)
{
   FileId id;
   uint64_t links = 0;
   if (!FileIO_GetIdentity(&slot->fd, &id, &links)) {
      // Nothing says the file was lost: its bytes were all written.
      Log("Error checking that file (%s) still has a name: %s\n", slot->fileName,
          File_ErrorText(File_LastError()));
      return true;
   }
   if (links == 0) {
      Log("Dump for %s, slot %d, is lost: its file (%s) was deleted, or its "
          "directory removed, while it was received.\n", SalvorAddrText(clientIP).text,
          slot->dumpID, slot->fileName);
      return false;
   }
   return true;
}

// A data message of the slot's dump that is not written at all.
void
SalvorAnnounceRefused(const salvorCoreDumpInfo *slot, uint64_t offset, size_t length, int error,
                      const char *why)
{
   SalvorAnnounceData(SalvorDumpData{slot->dumpID, offset, length, true, 0, error, why});
}

/*
 * Creates the dump file of a slot's dump; the copy of its name on
 * success, or null with the reply's status set (and the fd closed).
 */
char *
SalvorCreateFor(salvorCoreDumpInfo *slot, const char *dataDir, const NetIp &clientIP,
                salvorMsgHeader *reply)
{
   char name[SALVOR_NAME_SIZE];
   FileIOStatus status = SalvorCreateDumpFile(clientIP, name, sizeof name, dataDir, &slot->fd);
   int err = File_LastError();
   if (status != FILEIO_SUCCESS) {
      reply->status = SalvorCreateFailureStatus(status, err, name, dataDir);
      FileIO_InitFile(&slot->fd);
      return nullptr;
   }
   char *copy = SalvorCopyPath(name);
   if (copy == nullptr) {
      // Without its name the slot could neither be swept nor reported:
      // give the dump up rather than hold an anonymous open file.
      Log("Out of memory. Couldn't keep the name of %s.\n", name);
      FileIO_CloseAndRemove(&slot->fd);
      salvorReceiveCounters.refused[SALVOR_REFUSED_NO_MEMORY]++;
      reply->status = hxk_create_failed;
      return nullptr;
   }
   Log("Opened new coredump file:%s for %s in slot %d.\n", name, SalvorAddrText(clientIP).text,
       (int)(slot - salvorSlots));
   return copy;
}

/*
 * A sealed dump's file comes with the first message that carries its
 * token. False, with the reply's status set and the slot freed, when it
 * cannot be made.
 */
bool
SalvorGiveFile(salvorCoreDumpInfo *slot, const NetIp &clientIP, salvorMsgHeader *reply)
{
   char *copy = SalvorCreateFor(slot, SalvorConfig.dataDir, clientIP, reply);
   if (copy == nullptr) {
      SalvorReleaseSlot(slot);
      return false;
   }
   SalvorFileArrived(slot, copy);
   return true;
}

// The reply to an init that found or took its slot.
void
SalvorInitAnswered(const salvorCoreDumpInfo *slot, salvorMsgHeader *reply)
{
   reply->status = hxk_success;
   reply->assignedDumpID = (uint32_t)(slot - salvorSlots);
   if (slot->sealed) {
      std::memcpy(reply->reserved1, slot->token, SALVOR_TOKEN_SIZE);
   }
}

/*
 * An init refused for want of a slot carries, in reserved2 (which a reply
 * to an init leaves unread), the seconds until a slot is expected to free,
 * little-endian: a client may wait that long before it asks again.
 */
void
SalvorPutRetryHint(salvorMsgHeader *reply, uint32_t seconds)
{
   for (int i = 0; i < 4; i++) {
      reply->reserved2[i] = (uint8_t)(seconds >> (8 * i));
   }
}

}  // namespace

void
SalvorHandleInit(salvorMsgHeader *reply, const char *dataDir, const NetIp &clientIP,
                 const salvorMsgHeader *request)
{
   if (SalvorConfig.verbose) {
      Log("ip:%s)msg type: 'init'.\n", SalvorAddrHex(clientIP).text);
   }
   int freeIndex;
   int index = SalvorLookupDump(clientIP, request->timestamp, &freeIndex);
   if (index >= 0) {
      if (SalvorHostMayLog(clientIP)) {  // a host may repeat its init endlessly
         Log("IP (%s) and timestamp (%lld) match slot %d. Using old core file.\n",
             SalvorAddrText(clientIP).text, (long long)request->timestamp, index);
      }
      SalvorInitAnswered(&salvorSlots[index], reply);
      return;
   }
   if (freeIndex < 0) {
      if (SalvorHostMayLog(clientIP)) {
         Log("Didn't find an index. Returning hxk_limit_exceeded.\n");
      }
      salvorReceiveCounters.refused[SALVOR_REFUSED_NO_SLOT]++;
      reply->status = hxk_limit_exceeded;
      SalvorPutRetryHint(reply, SalvorSecondsUntilSlotFrees());
      return;
   }
   if (!SalvorDumpMayBegin(clientIP)) {
      salvorReceiveCounters.refused[SALVOR_REFUSED_LOW_SPACE]++;
      reply->status = hxk_limit_exceeded;
      return;
   }
   if (SalvorConfig.verbose) {
      Log("ip:%s)Using coredump index %d.\n", SalvorAddrHex(clientIP).text, freeIndex);
   }
   salvorCoreDumpInfo *slot = &salvorSlots[freeIndex];
   if (salvorSender.sealed) {
      SalvorReserveSlot(slot, clientIP, request->timestamp);
      SalvorInitAnswered(slot, reply);
      return;
   }
   char *copy = SalvorCreateFor(slot, dataDir, clientIP, reply);
   if (copy == nullptr) {
      return;
   }
   SalvorTakeSlot(slot, copy, clientIP, request->timestamp);
   SalvorInitAnswered(slot, reply);
}

salvorCoreDumpInfo *
SalvorCheckData(const salvorMsgHeader *request, const NetIp &clientIP, size_t datagramLength,
                salvorMsgHeader *reply)
{
   salvorCoreDumpInfo *slot = SalvorFindSlot(clientIP, request);
   if (slot == nullptr) {
      reply->status = hxk_invalid_dump;
      return nullptr;
   }
   if (slot->awaitingFile && !SalvorGiveFile(slot, clientIP, reply)) {
      return nullptr;
   }
   uint32_t payloadLength = (uint32_t)(datagramLength - SALVOR_HEADER_SIZE);
   if (FileIO_SetPos(&slot->fd, request->dataOffset, FILEIO_SEEK_BEGIN) < 0) {
      int err = File_LastError();
      if (SalvorHostMayLog(clientIP)) {
         Log("Error seeking in file (%s): %s\n", slot->fileName, File_ErrorText(err));
      }
      SalvorAnnounceRefused(slot, request->dataOffset, payloadLength, err, nullptr);
      reply->status = hxk_write_failed;
      return nullptr;
   }
   if (request->dataLength > payloadLength) {
      if (SalvorHostMayLog(clientIP)) {
         Log("dataLength (%u) bigger than it should be (%u).\n", request->dataLength,
             payloadLength);
      }
      reply->status = hxk_write_failed;
      return nullptr;
   }
   if (!SalvorDumpMayWrite(clientIP, payloadLength)) {
      SalvorAnnounceRefused(slot, request->dataOffset, payloadLength, 0,
                            "less free space on the data file system than keepFreeMiB");
      reply->status = hxk_write_failed;
      return nullptr;
   }
   return slot;
}

void
SalvorFinishData(const salvorCoreDumpInfo *slot, const salvorMsgHeader *request,
                 const NetIp &clientIP, uint32_t payloadLength, size_t written, int error,
                 salvorMsgHeader *reply)
{
   salvorReceiveCounters.receivedBytes += written;
   SalvorAnnounceData(SalvorDumpData{slot->dumpID, request->dataOffset, payloadLength, false,
                                     written, error, nullptr});
   if (written != payloadLength) {
      // A full disk fails every message of every host: one host's share of lines each.
      if (SalvorHostMayLog(clientIP)) {
         Log("Error: did not write full buffer to file (%s). Tried to write %u bytes. "
             "Only %u written (%s).\n", slot->fileName, payloadLength, (unsigned)written,
             File_ErrorText(error));
      }
      reply->status = hxk_write_failed;
      return;
   }
   if (SalvorConfig.verbose) {
      uint64_t now = SalvorClockUsec();
      Log("ip:%s)Wrote %d bytes to file @ %d (%llu usec since last)\n", SalvorAddrHex(clientIP).text,
          (int)written, (int)request->dataOffset, (unsigned long long)(now - slot->lastActivity));
   }
   reply->status = hxk_success;
}

void
SalvorHandleData(const salvorMsgHeader *request, const uint8_t *payload, const NetIp &clientIP,
                 size_t datagramLength, salvorMsgHeader *reply)
{
   salvorCoreDumpInfo *slot = SalvorCheckData(request, clientIP, datagramLength, reply);
   if (slot == nullptr) {
      return;
   }
   uint32_t payloadLength = (uint32_t)(datagramLength - SALVOR_HEADER_SIZE);
   size_t written = 0;
   FileIOStatus status = FileIO_WriteBytes(&slot->fd, payload, payloadLength, &written);
   int error = status == FILEIO_SUCCESS ? 0 : File_LastError();
   SalvorFinishData(slot, request, clientIP, payloadLength, written, error, reply);
}

void
SalvorHandleDone(const NetIp &clientIP, const salvorMsgHeader *request, salvorMsgHeader *reply)
{
   if (SalvorConfig.verbose) {
      Log("ip:%s)message type: 'done'.\n", SalvorAddrHex(clientIP).text);
   }
   reply->status = hxk_success;
   salvorCoreDumpInfo *slot = SalvorFindSlot(clientIP, request);
   if (slot == nullptr) {
      return;
   }
   if (slot->awaitingFile && !SalvorGiveFile(slot, clientIP, reply)) {
      return;  // an empty sealed dump whose file could not be made
   }
   if (!SalvorDumpFileIsKept(slot, clientIP)) {
      SalvorDumpEnded ended = SalvorEndOf(slot, SALVOR_END_LOST, false,
                                          SalvorDumpFileSize(&slot->fd));
      ended.reason = "its file was deleted, or its directory removed, while it was received";
      FileIO_CloseFile(&slot->fd);
      SalvorAnnounceEnded(ended);
      SalvorReleaseSlot(slot);
      reply->status = hxk_write_failed;
      return;
   }
   Log("Dump finished successfully for %s, slot %d, file:%s.\n", SalvorAddrText(clientIP).text,
       (int)request->dumpID, slot->fileName);
   if (!SalvorFinishDumpFile(&slot->fd)) {
      // The file keeps its mark of an unfinished dump; its bytes are all there.
      Log("Error giving file (%s) the mode of a finished dump: %s\n", slot->fileName,
          File_ErrorText(File_LastError()));
   }
   SalvorDumpEnded ended = SalvorEndOf(slot, SALVOR_END_DONE, true, SalvorDumpFileSize(&slot->fd));
   ended.sparse = SalvorDoneIsSparse(request);
   if (FileIO_CloseFile(&slot->fd)) {
      Log("Error closing file (%s): %s\n", slot->fileName,
          File_ErrorText(File_LastError()));
   }
   // Announced once the file is closed and whole.
   SalvorAnnounceEnded(ended);
   SalvorReleaseSlot(slot);
}

void
SalvorHandleStatusCheck(const NetIp &clientIP, salvorMsgHeader *reply)
{
   if (SalvorConfig.verbose) {
      Log("ip:%s)message type: 'staus check'.\n", SalvorAddrHex(clientIP).text);
   }
   // A line per request: a host that asks endlessly gets its share only.
   if (SalvorHostMayLog(clientIP)) {
      Log("Posting back a status check reply to %s", SalvorAddrText(clientIP).text);
   }
   reply->status = hxk_success;
}
