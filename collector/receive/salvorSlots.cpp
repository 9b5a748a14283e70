// The table of dump slots; see salvorSlots.h.
#include "collector/receive/salvorSlots.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "collector/receive/salvorAddress.h"
#include "collector/receive/salvorDumpFile.h"
#include "collector/receive/salvorHostLog.h"
#include "collector/startup/salvorConfig.h"
#include "lib/file/file.h"
#include "lib/log/log.h"

salvorCoreDumpInfo *salvorSlots = nullptr;

char *(*SalvorCopyPath)(const char *path) = strdup;

namespace {

void
SalvorEmptySlot(salvorCoreDumpInfo *slot)
{
   std::memset(slot, 0, sizeof *slot);
   slot->clientIP = NetIp(0u);  // shown as 0.0.0.0, as an empty slot always was
   FileIO_InitFile(&slot->fd);
}

// Whether the datagram being handled came with the slot's key, or both are plain.
bool
SalvorSameSender(const salvorCoreDumpInfo *slot)
{
   return slot->sealed == salvorSender.sealed &&
          (!slot->sealed || std::memcmp(slot->keyId, salvorSender.id, SALVOR_SEAL_ID_SIZE) == 0);
}

// Whether a data or done message carries its sealed dump's token.
bool
SalvorCarriesToken(const salvorCoreDumpInfo *slot, const salvorMsgHeader *request)
{
   return !slot->sealed || std::memcmp(request->reserved1, slot->token, SALVOR_TOKEN_SIZE) == 0;
}

/*
 * The taken slot (with its file, or awaiting it) that a data or done
 * message names, its host, time stamp, key and token all matching; null
 * otherwise. Logs nothing and marks nothing.
 */
salvorCoreDumpInfo *
SalvorSlotNamedBy(const NetIp &clientIP, const salvorMsgHeader *request)
{
   if (request->dumpID >= (uint32_t)SALVOR_MAX_DUMPS) {
      return nullptr;
   }
   salvorCoreDumpInfo *slot = &salvorSlots[request->dumpID];
   bool named = SalvorSlotTaken(slot) && slot->clientIP == clientIP &&
                slot->timestamp == request->timestamp && SalvorSameSender(slot) &&
                SalvorCarriesToken(slot, request);
   return named ? slot : nullptr;
}

}  // namespace

bool
SalvorSlotInUse(const salvorCoreDumpInfo *slot)
{
   // A slot holds a dump exactly while it owns the file's name; its time
   // stamp says nothing, since a client may send 0.
   return slot->fileName != nullptr;
}

bool
SalvorSlotTaken(const salvorCoreDumpInfo *slot)
{
   return slot->fileName != nullptr || slot->awaitingFile;
}

bool
SalvorAllocSlots()
{
   salvorSlots = static_cast<salvorCoreDumpInfo *>(
      std::malloc(SALVOR_MAX_DUMPS * sizeof(salvorCoreDumpInfo)));
   if (salvorSlots == nullptr) {
      return false;
   }
   for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
      SalvorEmptySlot(&salvorSlots[i]);
   }
   return true;
}

void
SalvorFreeSlots()
{
   // The files of dumps still in progress stay on disk as far as written;
   // only their handles go.
   if (salvorSlots != nullptr) {
      for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
         if (FileIO_IsValid(&salvorSlots[i].fd)) {
            FileIO_CloseFile(&salvorSlots[i].fd);
         }
         std::free(salvorSlots[i].fileName);
      }
      std::free(salvorSlots);
      salvorSlots = nullptr;
   }
}

int
SalvorLookupDump(const NetIp &clientIP, int64_t timestamp, int *freeIndex)
{
   *freeIndex = -1;
   for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
      const salvorCoreDumpInfo *slot = &salvorSlots[i];
      if (!SalvorSlotTaken(slot)) {
         if (*freeIndex < 0) {
            *freeIndex = i;
         }
      } else if (slot->clientIP == clientIP && slot->timestamp == timestamp &&
                 SalvorSameSender(slot)) {
         return i;
      }
   }
   return -1;
}

void
SalvorTakeSlot(salvorCoreDumpInfo *slot, char *fileName, const NetIp &clientIP,
               int64_t timestamp)
{
   slot->fileName = fileName;
   slot->clientIP = clientIP;
   slot->timestamp = timestamp;
   slot->dumpID = (int32_t)(slot - salvorSlots);
   slot->lastActivity = SalvorClockUsec();
   SalvorAnnounceBegun(SalvorDumpBegun{slot->dumpID, clientIP, timestamp, fileName, nullptr});
}

void
SalvorReserveSlot(salvorCoreDumpInfo *slot, const NetIp &clientIP, int64_t timestamp)
{
   slot->clientIP = clientIP;
   slot->timestamp = timestamp;
   slot->dumpID = (int32_t)(slot - salvorSlots);
   slot->lastActivity = SalvorClockUsec();
   slot->sealed = true;
   slot->awaitingFile = true;
   std::memcpy(slot->keyId, salvorSender.id, SALVOR_SEAL_ID_SIZE);
   std::snprintf(slot->keyName, sizeof slot->keyName, "%s", salvorSender.name);
   SalvorSealing_NewToken(slot->token);
}

void
SalvorFileArrived(salvorCoreDumpInfo *slot, char *fileName)
{
   slot->fileName = fileName;
   slot->awaitingFile = false;
   slot->lastActivity = SalvorClockUsec();
   SalvorAnnounceBegun(SalvorDumpBegun{slot->dumpID, slot->clientIP, slot->timestamp, fileName,
                                       slot->keyName});
}

bool
SalvorKeyInUse(const uint8_t *id)
{
   for (int i = 0; salvorSlots != nullptr && i < SALVOR_MAX_DUMPS; i++) {
      const salvorCoreDumpInfo *slot = &salvorSlots[i];
      if (SalvorSlotTaken(slot) && slot->sealed &&
          std::memcmp(slot->keyId, id, SALVOR_SEAL_ID_SIZE) == 0) {
         return true;
      }
   }
   return false;
}

void
SalvorEndRevokedDump(const NetIp &clientIP, const salvorMsgHeader *request)
{
   salvorCoreDumpInfo *slot = SalvorSlotNamedBy(clientIP, request);
   if (slot == nullptr) {
      return;
   }
   if (slot->awaitingFile) {
      SalvorReleaseSlot(slot);
      return;
   }
   Log("Dump for %s, slot %d, sealed with the key %s, ends: the key was removed from the keys "
       "file. Its file (%s) stays, marked unfinished.\n", SalvorAddrText(clientIP).text,
       slot->dumpID, slot->keyName, slot->fileName);
   SalvorDumpEnded ended = SalvorEndOf(slot, SALVOR_END_KEY_REVOKED, true,
                                       SalvorDumpFileSize(&slot->fd));
   ended.reason = "its key was removed from the keys file; the file stays as far as written";
   FileIO_CloseFile(&slot->fd);
   SalvorAnnounceEnded(ended);
   SalvorReleaseSlot(slot);
}

void
SalvorReleaseSlot(salvorCoreDumpInfo *slot)
{
   std::free(slot->fileName);
   SalvorEmptySlot(slot);
}


salvorCoreDumpInfo *
SalvorFindSlot(const NetIp &clientIP, const salvorMsgHeader *request)
{
   // Each failure is a line about the host's own datagram: limited per host.
   if (request->dumpID >= (uint32_t)SALVOR_MAX_DUMPS) {
      if (SalvorHostMayLog(clientIP)) {
         Log("ip:%s)Invalid dumpID %d\n", SalvorAddrHex(clientIP).text, (int)request->dumpID);
      }
      return nullptr;
   }
   salvorCoreDumpInfo *slot = &salvorSlots[request->dumpID];
   if (slot->clientIP != clientIP || !SalvorSlotTaken(slot)) {
      if (SalvorHostMayLog(clientIP)) {
         Log("Invalid IP for slot:%d. msg IP:%s != saved IP:%s.\n", slot->dumpID,
             SalvorAddrText(clientIP).text, SalvorAddrText(slot->clientIP).text);
      }
      return nullptr;
   }
   if (slot->timestamp != request->timestamp) {
      if (SalvorHostMayLog(clientIP)) {
         Log("%s)Invalid timestamp for slot:%d. msg TS:%lld !=  saved TS:%lld.\n",
             SalvorAddrText(clientIP).text, slot->dumpID, (long long)request->timestamp,
             (long long)slot->timestamp);
      }
      return nullptr;
   }
   if (!SalvorSameSender(slot) || !SalvorCarriesToken(slot, request)) {
      if (SalvorHostMayLog(clientIP)) {
         Log("%s)Message for slot:%d is not sealed with the dump's key and token.\n",
             SalvorAddrText(clientIP).text, slot->dumpID);
      }
      return nullptr;
   }
   slot->lastActivity = SalvorClockUsec();
   return slot;
}

bool
SalvorSlotMatches(const NetIp &clientIP, const salvorMsgHeader *request)
{
   const salvorCoreDumpInfo *slot = SalvorSlotNamedBy(clientIP, request);
   return slot != nullptr && SalvorSlotInUse(slot);
}

void
SalvorExpireIdleSlots()
{
   uint64_t now = SalvorClockUsec();
   for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
      salvorCoreDumpInfo *slot = &salvorSlots[i];
      uint64_t idle = now - slot->lastActivity;
      if (!SalvorSlotTaken(slot) || idle <= SALVOR_IDLE_TIMEOUT_SEC * 1000000u) {
         continue;
      }
      if (slot->awaitingFile) {
         // A sealed init that no message followed: nothing was made.
         SalvorReleaseSlot(slot);
         continue;
      }
      Log("Client at %s has been idle for %d seconds. Timeout is %d seconds. "
          "Removing partial dump %s from slot %d.\n",
          SalvorAddrText(slot->clientIP).text, (int)(idle / 1000000u), (int)SALVOR_IDLE_TIMEOUT_SEC,
          slot->fileName, i);
      int64_t size = SalvorDumpFileSize(&slot->fd);
      bool removed = SalvorRemovePartialDump(&slot->fd, slot->clientIP, slot->fileName,
                                             SalvorConfig.dataDir);
      SalvorDumpEnded ended = SalvorEndOf(slot, SALVOR_END_IDLE, !removed, size);
      ended.idleSec = idle / 1000000u;
      SalvorAnnounceEnded(ended);
      SalvorReleaseSlot(slot);
   }
}

SalvorDumpEnded
SalvorEndOf(const salvorCoreDumpInfo *slot, SalvorDumpEnd how, bool fileKept, int64_t size)
{
   SalvorDumpEnded ended{};
   ended.slot = slot->dumpID;
   ended.host = slot->clientIP;
   ended.timestamp = slot->timestamp;
   ended.path = slot->fileName;
   ended.key = slot->sealed ? slot->keyName : nullptr;
   ended.how = how;
   ended.fileKept = fileKept;
   ended.size = size;
   return ended;
}

void
SalvorStopAllDumps()
{
   if (salvorSlots != nullptr && SalvorDumpsKeptAtStop()) {
      int kept = 0;
      for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
         kept += SalvorSlotInUse(&salvorSlots[i]);
      }
      Log("%d dumps in progress are kept for the next start.\n", kept);
      return;
   }
   for (int i = 0; salvorSlots != nullptr && i < SALVOR_MAX_DUMPS; i++) {
      const salvorCoreDumpInfo *slot = &salvorSlots[i];
      if (SalvorSlotInUse(slot)) {
         SalvorDumpEnded ended =
            SalvorEndOf(slot, SALVOR_END_STOPPED, true, SalvorDumpFileSize(&slot->fd));
         ended.reason = "the collector stopped; the file stays as far as written";
         SalvorAnnounceEnded(ended);
      }
   }
}

bool
SalvorRestoreSlot(int index, FileIOFile *fd, char *fileName, const SalvorRestoredDump &dump)
{
   if (salvorSlots == nullptr || index < 0 || index >= SALVOR_MAX_DUMPS ||
       SalvorSlotTaken(&salvorSlots[index])) {
      return false;
   }
   salvorCoreDumpInfo *slot = &salvorSlots[index];
   slot->fd = *fd;
   FileIO_InitFile(fd);
   slot->fileName = fileName;
   slot->clientIP = dump.host;
   slot->timestamp = dump.timestamp;
   slot->dumpID = index;
   slot->lastActivity = SalvorClockUsec();
   slot->sealed = dump.sealed;
   if (dump.sealed) {
      std::memcpy(slot->keyId, dump.keyId, SALVOR_SEAL_ID_SIZE);
      std::snprintf(slot->keyName, sizeof slot->keyName, "%s", dump.keyName);
      std::memcpy(slot->token, dump.token, SALVOR_TOKEN_SIZE);
   }
   SalvorDumpBegun begun{index, dump.host, dump.timestamp, fileName,
                         dump.sealed ? slot->keyName : nullptr};
   begun.resumed = dump.resumed;
   begun.startedWallUsec = dump.startedWallUsec;
   SalvorAnnounceBegun(begun);
   return true;
}

uint32_t
SalvorSecondsUntilSlotFrees()
{
   uint64_t now = SalvorClockUsec();
   uint64_t timeout = SALVOR_IDLE_TIMEOUT_SEC * 1000000u;
   uint64_t least = timeout;
   for (int i = 0; salvorSlots != nullptr && i < SALVOR_MAX_DUMPS; i++) {
      const salvorCoreDumpInfo *slot = &salvorSlots[i];
      if (!SalvorSlotTaken(slot)) {
         continue;
      }
      uint64_t idle = now - slot->lastActivity;
      least = idle >= timeout ? 0 : std::min(least, timeout - idle);
      if (least == 0) {
         break;
      }
   }
   uint64_t seconds = (least + 999999u) / 1000000u;
   return seconds < 1 ? 1 : (uint32_t)seconds;
}
