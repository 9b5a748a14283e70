// The table of dump slots.
//
// Only a table: the handlers (salvorHandlers.h) decide what a request does
// with it, and the dump files (salvorDumpFile.h) are made below it. It
// announces each dump's beginning and end (salvorDumpEvents.h) and knows
// nothing of who listens.
//
// Each dump in progress holds one of 1,024 slots; the slot index is the
// dumpID that the client learns from the reply to its init and names in
// its data and done messages. An init finds its dump's slot again or takes
// the lowest free one; slots idle for more than a minute are swept.
#pragma once

#include <cstdint>

#include "collector/receive/salvorClock.h"
#include "collector/receive/salvorDumpEvents.h"
#include "collector/receive/salvorSealing.h"
#include "protocol/salvorProto.h"
#include "lib/file/fileIO.h"
#include "lib/net/net.h"

constexpr int SALVOR_MAX_DUMPS = 1024;
constexpr uint64_t SALVOR_IDLE_TIMEOUT_SEC = 60;

struct salvorCoreDumpInfo {
   FileIOFile fd;          // the open dump file; closed while the slot is empty
   int64_t timestamp;      // the client's time stamp of the dump
   NetIp clientIP;         // the host, IPv4 or IPv6; 0.0.0.0 in an empty slot
   char *fileName;         // heap copy of the file's path; null in an empty slot
   int32_t dumpID;         // the slot's own index
   uint64_t lastActivity;  // SalvorClockUsec() when taken or last matched
   // A sealed dump: its key, and the token its messages must carry. Its
   // init takes the slot without a file (awaitingFile); the file is made
   // when the first message with the token comes, so that an init played
   // again makes nothing.
   bool sealed;
   bool awaitingFile;
   uint8_t keyId[SALVOR_SEAL_ID_SIZE];
   char keyName[SALVOR_KEY_NAME_MAX + 1];
   uint8_t token[SALVOR_TOKEN_SIZE];
};

// The table, while the receive loop runs.
extern salvorCoreDumpInfo *salvorSlots;

// Copies a dump's path for its slot; null when memory is short. Tests may
// replace it.
extern char *(*SalvorCopyPath)(const char *path);

// False when memory is short.
bool SalvorAllocSlots();
void SalvorFreeSlots();  // leaves the files of slots in use on disk
// Whether a slot holds a dump and its file.
bool SalvorSlotInUse(const salvorCoreDumpInfo *slot);
// Whether a slot is taken: by a dump, or by a sealed init awaiting its file.
bool SalvorSlotTaken(const salvorCoreDumpInfo *slot);

/*
 * The slot of the dump that the host clientIP began with this time stamp
 * (and, sealed, with the sender's key), or -1; *freeIndex receives the
 * lowest free slot, or -1 when all are taken.
 */
int SalvorLookupDump(const NetIp &clientIP, int64_t timestamp, int *freeIndex);
// Hands an empty slot, whose fd holds the new file, to a dump, and announces it.
void SalvorTakeSlot(salvorCoreDumpInfo *slot, char *fileName, const NetIp &clientIP,
                    int64_t timestamp);
// Takes an empty slot for a sealed init of the sender: a fresh token, no file yet.
void SalvorReserveSlot(salvorCoreDumpInfo *slot, const NetIp &clientIP, int64_t timestamp);
// Gives a slot that awaited its file the file (in its fd) and announces the dump.
void SalvorFileArrived(salvorCoreDumpInfo *slot, char *fileName);
// Whether a dump in progress (or awaiting its file) was sealed with the key `id`.
bool SalvorKeyInUse(const uint8_t *id);
/*
 * A datagram of a dump whose key was removed: ends that dump (its file
 * stays, marked unfinished) when the request names it.
 */
void SalvorEndRevokedDump(const NetIp &clientIP, const salvorMsgHeader *request);
/*
 * The slot that a data or done message names, once its host and time
 * stamp (and, sealed, its key and token) are checked (each mismatch is
 * logged); marks it active. Null when the message names no dump of its
 * host. The slot may await its file.
 */
salvorCoreDumpInfo *SalvorFindSlot(const NetIp &clientIP, const salvorMsgHeader *request);
/*
 * Whether SalvorFindSlot would find the slot, without its lines and
 * without marking the slot active.
 */
bool SalvorSlotMatches(const NetIp &clientIP, const salvorMsgHeader *request);
void SalvorExpireIdleSlots();
// Empties a slot whose file has been closed.
void SalvorReleaseSlot(salvorCoreDumpInfo *slot);
/*
 * The event of the end of a slot's dump, `how` it ended; the caller fills
 * in what that kind of end says.
 */
SalvorDumpEnded SalvorEndOf(const salvorCoreDumpInfo *slot, SalvorDumpEnd how, bool fileKept,
                            int64_t size);
/*
 * Announces the end of every dump in progress, at a stop; their files
 * stay. When a subscriber keeps them for the next start, it only says
 * how many are kept.
 */
void SalvorStopAllDumps();

// A dump in progress before a restart, as it is put back in its slot.
struct SalvorRestoredDump {
   NetIp host;
   int64_t timestamp;
   bool sealed;
   const uint8_t *keyId;  // sealed: SALVOR_SEAL_ID_SIZE bytes
   const char *keyName;   // sealed
   const uint8_t *token;  // sealed: SALVOR_TOKEN_SIZE bytes
   uint32_t resumed;      // the restarts it survived, this one included
   int64_t startedWallUsec;
};
/*
 * Puts a dump back in the empty slot `index` with its open file (the slot
 * takes *fd and fileName, a heap copy of the path) and announces it begun
 * again; its idle time starts now. False, taking nothing, when the slot
 * does not exist or is taken.
 */
bool SalvorRestoreSlot(int index, FileIOFile *fd, char *fileName, const SalvorRestoredDump &dump);
/*
 * The seconds until a taken slot is expected to free: the least time
 * until some slot's host has been idle for the idle timeout, rounded up,
 * at least 1.
 */
uint32_t SalvorSecondsUntilSlotFrees();
