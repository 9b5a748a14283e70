// The table of dump slots; see salvorSlots.h.
#include "collector/salvorSlots.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "collector/salvorConfig.h"
#include "collector/salvorDumpFile.h"
#include "collector/salvorServer.h"
#include "lib/file/file.h"
#include "lib/log/log.h"

salvorCoreDumpInfo *salvorSlots = nullptr;

uint64_t
SalvorMonotonicUsec()
{
   timespec ts;
   clock_gettime(CLOCK_MONOTONIC, &ts);
   return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

uint64_t (*SalvorClockUsec)() = SalvorMonotonicUsec;
char *(*SalvorCopyPath)(const char *path) = strdup;

namespace {

void
EmptySlot(salvorCoreDumpInfo *slot)
{
   std::memset(slot, 0, sizeof *slot);
   FileIO_InitFile(&slot->fd);
}

}  // namespace

bool
SalvorSlotInUse(const salvorCoreDumpInfo *slot)
{
   // A slot holds a dump exactly while it owns the file's name; its time
   // stamp says nothing, since a client may send 0.
   return slot->fileName != nullptr;
}

void
SalvorAllocSlots()
{
   salvorSlots = static_cast<salvorCoreDumpInfo *>(
      std::malloc(SALVOR_MAX_DUMPS * sizeof(salvorCoreDumpInfo)));
   if (salvorSlots == nullptr) {
      SalvorFatal("Could not allocate memory for salvorCoreDumpInfo\n");
   }
   for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
      EmptySlot(&salvorSlots[i]);
   }
}

void
SalvorFreeSlots()
{
   // The files of dumps still in progress stay on disk as far as written.
   if (salvorSlots != nullptr) {
      for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
         std::free(salvorSlots[i].fileName);
      }
      std::free(salvorSlots);
      salvorSlots = nullptr;
   }
}

void
SalvorReleaseSlot(salvorCoreDumpInfo *slot)
{
   std::free(slot->fileName);
   EmptySlot(slot);
}

void
SalvorHandleInit(salvorMsgHeader *reply, const char *dataDir, uint32_t clientIP,
                 const salvorMsgHeader *request)
{
   if (SalvorConfig.verbose) {
      Log("ip:%x)msg type: 'init'.\n", clientIP);
   }
   int freeIndex = -1;
   for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
      salvorCoreDumpInfo *slot = &salvorSlots[i];
      if (!SalvorSlotInUse(slot)) {
         if (freeIndex < 0) {
            freeIndex = i;
         }
      } else if (slot->clientIP == clientIP && slot->timestamp == request->timestamp) {
         Log("IP (%u.%u.%u.%u) and timestamp (%lld) match slot %d. Using old core file.\n",
             SALVOR_IP_BYTES(clientIP), (long long)request->timestamp, i);
         reply->status = hxk_success;
         reply->assignedDumpID = (uint32_t)slot->dumpID;
         return;
      }
   }
   if (freeIndex < 0) {
      Log("Didn't find an index. Returning hxk_limit_exceeded.\n");
      reply->status = hxk_limit_exceeded;
      return;
   }
   if (SalvorConfig.verbose) {
      Log("ip:%x)Using coredump index %d.\n", clientIP, freeIndex);
   }
   salvorCoreDumpInfo *slot = &salvorSlots[freeIndex];
   char name[SALVOR_NAME_SIZE];
   FileIOStatus status = SalvorCreateDumpFile(clientIP, name, sizeof name, dataDir, &slot->fd);
   if (status != FILEIO_SUCCESS) {
      reply->status = SalvorCreateFailureStatus(status, name, dataDir);
      FileIO_InitFile(&slot->fd);
      return;
   }
   char *copy = SalvorCopyPath(name);
   if (copy == nullptr) {
      // Without its name the slot could neither be swept nor reported:
      // give the dump up rather than hold an anonymous open file.
      Log("Out of memory. Couldn't keep the name of %s.\n", name);
      FileIO_CloseAndRemove(&slot->fd);
      reply->status = hxk_create_failed;
      return;
   }
   Log("Opened new coredump file:%s for %u.%u.%u.%u in slot %d.\n", name,
       SALVOR_IP_BYTES(clientIP), freeIndex);
   slot->fileName = copy;
   slot->clientIP = clientIP;
   slot->timestamp = request->timestamp;
   slot->dumpID = freeIndex;
   slot->lastActivity = SalvorClockUsec();
   reply->status = hxk_success;
   reply->assignedDumpID = (uint32_t)freeIndex;
}

salvorCoreDumpInfo *
SalvorFindSlot(uint32_t clientIP, const salvorMsgHeader *request)
{
   if (request->dumpID >= (uint32_t)SALVOR_MAX_DUMPS) {
      Log("ip:%x)Invalid dumpID %d\n", clientIP, (int)request->dumpID);
      return nullptr;
   }
   salvorCoreDumpInfo *slot = &salvorSlots[request->dumpID];
   if (slot->clientIP != clientIP || !SalvorSlotInUse(slot)) {
      Log("Invalid IP for slot:%d. msg IP:%u.%u.%u.%u != saved IP:%u.%u.%u.%u.\n",
          slot->dumpID, SALVOR_IP_BYTES(clientIP), SALVOR_IP_BYTES(slot->clientIP));
      return nullptr;
   }
   if (slot->timestamp != request->timestamp) {
      Log("%u.%u.%u.%u)Invalid timestamp for slot:%d. msg TS:%lld !=  saved TS:%lld.\n",
          SALVOR_IP_BYTES(clientIP), slot->dumpID, (long long)request->timestamp,
          (long long)slot->timestamp);
      return nullptr;
   }
   slot->lastActivity = SalvorClockUsec();
   return slot;
}

void
SalvorExpireIdleSlots()
{
   uint64_t now = SalvorClockUsec();
   for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
      salvorCoreDumpInfo *slot = &salvorSlots[i];
      if (!SalvorSlotInUse(slot)) {
         continue;
      }
      uint64_t idle = now - slot->lastActivity;
      if (idle <= SALVOR_IDLE_TIMEOUT_SEC * 1000000u) {
         continue;
      }
      Log("Client at %u.%u.%u.%u has been idle for %d seconds. Timeout is %d seconds. "
          "Removing partial dump %s from slot %d.\n",
          SALVOR_IP_BYTES(slot->clientIP), (int)(idle / 1000000u), (int)SALVOR_IDLE_TIMEOUT_SEC,
          slot->fileName, i);
      if (FileIO_CloseFile(&slot->fd)) {
         Log("Error closing file (%s)\n", slot->fileName);
      }
      if (File_Remove(slot->fileName) != 0) {
         Log("Failed to unlink file (%s).\n", slot->fileName);
      }
      SalvorReleaseSlot(slot);
   }
}
