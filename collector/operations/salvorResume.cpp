// Dumps in progress that survive a restart; see salvorResume.h.
#include "collector/operations/salvorResume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "collector/operations/salvorResumeFile.h"
#include "collector/operations/salvorResumeRestore.h"
#include "collector/platform/salvorOpsPlat.h"
#include "collector/receive/salvorClock.h"
#include "collector/receive/salvorDumpEvents.h"
#include "collector/receive/salvorLoopTasks.h"
#include "collector/receive/salvorServer.h"
#include "collector/receive/salvorSlots.h"
#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorOpsConfig.h"
#include "lib/file/file.h"
#include "lib/file/fileDir.h"
#include "lib/log/log.h"

namespace {

// A batch makes at most a begun and a range record per datagram.
constexpr size_t BUFFER_BYTES = 2 * SALVOR_BATCH_SIZE * SALVOR_RESUME_MAX_RECORD;
// The file is written anew once it is this many times its size after the
// last rewrite, and at least this big.
constexpr uint64_t COMPACT_FACTOR = 4;
constexpr uint64_t COMPACT_LEAST = 1 << 20;
constexpr uint64_t COMPACT_RETRY_USEC = 1000000;

struct ResumeState {
   bool enabled = false;
   std::string path;
   FileHandle file = FILE_INVALID_HANDLE;
   uint64_t fileBytes = 0;
   uint64_t compactAt = 0;
   bool compactDue = false;
   uint64_t lastCompactTry = 0;
   bool failing = false;
   // The records of the batch being handled, written just before its replies.
   uint8_t buffer[BUFFER_BYTES];
   size_t used = 0;
   // The last record, when it is a range that the next may extend.
   int lastAckSlot = -1;
   size_t lastAckAt = 0;
   uint64_t lastAckStart = 0;
   uint64_t lastAckEnd = 0;
};

ResumeState state;
// What the file says of each slot, kept to write it anew.
SalvorResumeLive mirror[SALVOR_MAX_DUMPS];

std::string
SalvorResumeSidePath(const char *suffix)
{
   return state.path + suffix;
}

// Opens the file for appending; a link by its name is refused.
bool
SalvorResumeOpen()
{
   if (state.file == FILE_INVALID_HANDLE &&
       FileIO_OpenAppend(state.path.c_str(), 0600, &state.file) != 0) {
      state.file = FILE_INVALID_HANDLE;
   }
   return state.file != FILE_INVALID_HANDLE;
}

void
SalvorResumeClose()
{
   FileIO_CloseHandle(state.file);
   state.file = FILE_INVALID_HANDLE;
}

// Writes the records waiting, with one write.
void
SalvorResumeFlush()
{
   if (state.used == 0) {
      return;
   }
   int err = 0;
   if (!SalvorResumeOpen() || FileIO_AppendWhole(state.file, state.buffer, state.used) != 0) {
      err = File_LastError();
   }
   if (err != 0 && !state.failing) {
      Warning("Cannot write the resume state %s: %s. Dumps in progress may not be resumed "
              "exactly after a restart until it can.\n", state.path.c_str(),
              File_ErrorText(err));
   } else if (err == 0 && state.failing) {
      Log("The resume state %s can be written again.\n", state.path.c_str());
   }
   state.failing = err != 0;
   // What was lost is in the mirror: writing the file anew brings it back.
   state.compactDue = state.compactDue || state.failing;
   state.fileBytes += err == 0 ? state.used : 0;
   state.used = 0;
   state.lastAckSlot = -1;
}

// Room for one more record, writing what waits when the buffer is full.
uint8_t *
SalvorResumeRoom()
{
   if (state.used + SALVOR_RESUME_MAX_RECORD > BUFFER_BYTES) {
      SalvorResumeFlush();
   }
   state.lastAckSlot = -1;
   return state.buffer + state.used;
}

void
SalvorResumeAcked(int slot, uint64_t start, uint64_t end)
{
   if (state.lastAckSlot == slot && state.lastAckEnd == start) {
      // A run in order: the last record grows instead of a new one.
      state.lastAckEnd = end;
      SalvorResumeEncodeAcked(slot, state.lastAckStart, end, state.buffer + state.lastAckAt);
      return;
   }
   uint8_t *at = SalvorResumeRoom();
   state.lastAckAt = state.used;
   state.used += SalvorResumeEncodeAcked(slot, start, end, at);
   state.lastAckSlot = slot;
   state.lastAckStart = start;
   state.lastAckEnd = end;
}

// The whole state as a new file's bytes.
std::vector<uint8_t>
SalvorResumeImage()
{
   std::vector<uint8_t> out;
   uint8_t record[SALVOR_RESUME_MAX_RECORD];
   auto put = [&](size_t n) { out.insert(out.end(), record, record + n); };
   put(SalvorResumeEncodeHeader(record));
   for (const SalvorResumeLive &live : mirror) {
      if (!live.live) {
         continue;
      }
      put(SalvorResumeEncodeBegun(live.dump, record));
      if (live.acked.Unknown()) {
         put(SalvorResumeEncodeUnknown(live.dump.slot, record));
      }
      for (const SalvorRange &r : live.acked.Ranges()) {
         put(SalvorResumeEncodeAcked(live.dump.slot, r.start, r.end, record));
      }
   }
   return out;
}

/*
 * Removes what a crash while the file was written anew left by the new
 * file's name (a link planted there goes itself, never what it names).
 */
void
SalvorRemoveLeftOver(FileHandle top, const char *name)
{
   std::vector<FileDirEntry> entries;
   if (top == FILE_INVALID_HANDLE || File_ListDirAt(top, &entries) != 0) {
      return;
   }
   for (const FileDirEntry &e : entries) {
      if (std::strcmp(e.name, name) == 0) {
         File_RemoveAtIfSame(top, name, &e.id);
      }
   }
}

// Writes the new file beside the state file; false with the reason logged.
bool
SalvorResumeWriteNew(const std::string &newPath, const std::vector<uint8_t> &image)
{
   FileHandle top = File_OpenExistingDirTree(SalvorConfig.dataDir, nullptr, 0);
   FileIOFile f;
   FileIO_InitFile(&f);
   std::string name = std::string(SALVOR_RESUME_FILE_NAME) + ".new";
   SalvorRemoveLeftOver(top, name.c_str());
   FileIOStatus status = top == FILE_INVALID_HANDLE
                            ? FILEIO_ERROR
                            : FileIO_OpenAtMode(&f, top, name.c_str(), newPath.c_str(),
                                                FILEIO_ACCESS_WRITE | FILEIO_SYNC_WRITES,
                                                FILEIO_ACTION_CREATE_ALWAYS, 0600);
   int err = File_LastError();
   File_CloseDirHandle(top);
   size_t written = 0;
   if (status == FILEIO_SUCCESS) {
      status = FileIO_WriteBytes(&f, image.data(), image.size(), &written);
      err = File_LastError();
      FileIO_CloseFile(&f);
   }
   if (status != FILEIO_SUCCESS || written != image.size()) {
      if (!state.compactDue) {  // said once while it fails
         Warning("Cannot write the resume state anew in %s: %s.\n", newPath.c_str(),
                 File_ErrorText(err));
      }
      return false;
   }
   return true;
}

// Writes the state anew and puts it in place of the file.
void
SalvorResumeCompact()
{
   SalvorResumeFlush();
   state.lastCompactTry = SalvorClockUsec();
   std::vector<uint8_t> image = SalvorResumeImage();
   std::string newPath = SalvorResumeSidePath(".new");
   if (!SalvorResumeWriteNew(newPath, image)) {
      state.compactDue = true;
      return;
   }
   SalvorResumeClose();  // Windows renames nothing over an open file
   if (File_Rename(newPath.c_str(), state.path.c_str()) != 0) {
      if (!state.compactDue) {
         Warning("Cannot put %s in place of %s: %s.\n", newPath.c_str(), state.path.c_str(),
                 File_ErrorText(File_LastError()));
      }
      state.compactDue = true;
      SalvorResumeOpen();
      return;
   }
   state.fileBytes = image.size();
   state.compactAt = std::max<uint64_t>(COMPACT_LEAST, COMPACT_FACTOR * image.size());
   state.compactDue = false;
   if (!SalvorResumeOpen()) {
      Warning("Cannot open the resume state %s: %s.\n", state.path.c_str(),
              File_ErrorText(File_LastError()));
   }
}

void
SalvorResumeEachPass()
{
   if (!state.enabled) {
      return;
   }
   SalvorResumeFlush();  // the ends of the idle sweep
   // After a failure at most once a second, so that a failing file
   // system costs no attempt per batch.
   bool retry = state.compactDue &&
                SalvorClockUsec() - state.lastCompactTry >= COMPACT_RETRY_USEC;
   if (retry || (!state.compactDue && state.fileBytes > state.compactAt)) {
      SalvorResumeCompact();
   }
}

// The dump file's name in its host's directory.
std::string
SalvorBaseName(const char *path)
{
   const char *slash = std::strrchr(path, DIRSEPC);
   return slash != nullptr ? slash + 1 : path;
}

void
SalvorResumeBegun(const SalvorDumpBegun &event)
{
   // A dump put back at start is in the file written anew right after.
   if (!state.enabled || event.resumed > 0 || event.slot < 0 || event.slot >= SALVOR_MAX_DUMPS) {
      return;
   }
   const salvorCoreDumpInfo *slot = &salvorSlots[event.slot];
   SalvorResumeLive &live = mirror[event.slot];
   std::string name = SalvorBaseName(event.path);
   uint64_t links = 0;
   live.acked.Reset();
   live.dump = SalvorResumeDump{};
   live.live = name.size() <= SALVOR_RESUME_NAME_MAX &&
               FileIO_GetIdentity(&slot->fd, &live.dump.id, &links);
   if (!live.live) {
      return;  // not resumable: it ends as it would without a restart
   }
   SalvorResumeDump &d = live.dump;
   d.slot = event.slot;
   d.host = event.host;
   d.timestamp = event.timestamp;
   d.startedWallUsec = SalvorPlat_WallUsec();
   d.sealed = slot->sealed;
   std::memcpy(d.keyId, slot->keyId, sizeof d.keyId);
   std::memcpy(d.token, slot->token, sizeof d.token);
   std::snprintf(d.keyName, sizeof d.keyName, "%s", slot->sealed ? slot->keyName : "");
   std::snprintf(d.name, sizeof d.name, "%s", name.c_str());
   uint8_t *at = SalvorResumeRoom();
   state.used += SalvorResumeEncodeBegun(d, at);
}

void
SalvorResumeData(const SalvorDumpData &event)
{
   if (!state.enabled || event.refused || event.written == 0 || event.slot < 0 ||
       event.slot >= SALVOR_MAX_DUMPS || !mirror[event.slot].live) {
      return;
   }
   uint64_t end = event.offset + event.written;
   mirror[event.slot].acked.Add(event.offset, end);
   SalvorResumeAcked(event.slot, event.offset, end);
}

void
SalvorResumeEnded(const SalvorDumpEnded &event)
{
   if (!state.enabled || event.slot < 0 || event.slot >= SALVOR_MAX_DUMPS ||
       !mirror[event.slot].live) {
      return;
   }
   mirror[event.slot].live = false;
   mirror[event.slot].acked.Reset();
   uint8_t *at = SalvorResumeRoom();
   state.used += SalvorResumeEncodeEnded(event.slot, at);
}

bool
SalvorResumeKeeps()
{
   return state.enabled;
}

/*
 * Puts back the dumps of the state file, then writes it anew: from here
 * on it holds only what this run knows. Nothing is made while
 * resumeDumps is off.
 */
void
SalvorResumeStart(void (*)())
{
   if (SalvorOpsConfig.resumeDumps == 0) {
      return;
   }
   state.path = std::string(SalvorConfig.dataDir) + DIRSEPS + SALVOR_RESUME_FILE_NAME;
   state.used = 0;
   state.lastAckSlot = -1;
   state.failing = false;
   state.compactDue = false;
   state.lastCompactTry = 0;
   for (SalvorResumeLive &live : mirror) {
      live.live = false;
      live.acked.Reset();
   }
   SalvorResumeRestoreAll(state.path, mirror);
   state.enabled = true;
   SalvorResumeCompact();
   if (state.file == FILE_INVALID_HANDLE) {
      state.compactDue = true;  // tried again once a second
   }
}

void
SalvorResumeStop()
{
   SalvorResumeFlush();
   SalvorResumeClose();
   state.enabled = false;
}

}  // namespace

void
SalvorResumeSubscribe()
{
   static const SalvorDumpSubscriber subscriber{.begun = SalvorResumeBegun,
                                                .data = SalvorResumeData,
                                                .ended = SalvorResumeEnded,
                                                .keepsAtStop = SalvorResumeKeeps};
   static const SalvorLoopTask task{.start = SalvorResumeStart,
                                    .beforeReplies = SalvorResumeFlush,
                                    .eachPass = SalvorResumeEachPass,
                                    .flush = SalvorResumeFlush,
                                    .stop = SalvorResumeStop};
   SalvorSubscribeDumpEvents(&subscriber);
   SalvorAddLoopTask(&task);
}
