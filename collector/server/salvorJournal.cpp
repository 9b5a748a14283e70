// The dump journal; see salvorJournal.h.
#include "collector/server/salvorJournal.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "collector/platform/salvorOpsPlat.h"
#include "collector/server/salvorAddress.h"
#include "collector/server/salvorHook.h"
#include "collector/server/salvorRanges.h"
#include "collector/server/salvorSlots.h"
#include "collector/server/salvorText.h"
#include "collector/startup/salvorConfig.h"
#include "lib/file/file.h"
#include "lib/log/log.h"

namespace {

// What the journal gathers about the dump of one slot.
struct SalvorDumpTrack {
   int64_t startedUsec;
   SalvorRangeSet ranges;
   uint64_t bytes;
   uint64_t messages;
   uint64_t duplicates;
   uint64_t failedWrites;
   int lastError;
};

SalvorDumpTrack tracks[SALVOR_MAX_DUMPS];
std::string journalPath;
bool journalFailing = false;

SalvorDumpTrack *
SalvorTrackOf(const salvorCoreDumpInfo *slot)
{
   if (salvorSlots == nullptr || slot < salvorSlots || slot >= salvorSlots + SALVOR_MAX_DUMPS) {
      return nullptr;
   }
   return &tracks[slot - salvorSlots];
}

void
SalvorAppendField(std::string *line, const char *name, const char *text)
{
   line->append(line->size() > 1 ? ",\"" : "\"").append(name).append("\":");
   SalvorAppendJsonString(line, text);
}

void
SalvorAppendNumber(std::string *line, const char *name, int64_t value, bool known = true)
{
   char buf[32];
   std::snprintf(buf, sizeof buf, "%" PRId64, value);
   line->append(",\"").append(name).append("\":").append(known ? buf : "null");
}

void
SalvorAppendHoles(std::string *line, const SalvorDumpTrack &track)
{
   if (track.ranges.Unknown()) {
      line->append(",\"holes\":null,\"holeBytes\":null");
      return;
   }
   SalvorRange holes[SALVOR_MAX_HOLES_SHOWN];
   uint64_t holeBytes = 0;
   size_t count = track.ranges.Holes(holes, SALVOR_MAX_HOLES_SHOWN, &holeBytes);
   line->append(",\"holes\":[");
   for (size_t i = 0; i < count && i < SALVOR_MAX_HOLES_SHOWN; i++) {
      char buf[48];
      std::snprintf(buf, sizeof buf, "%s[%" PRIu64 ",%" PRIu64 "]", i > 0 ? "," : "",
                    holes[i].start, holes[i].end);
      line->append(buf);
   }
   line->append("]");
   SalvorAppendNumber(line, "holeBytes", (int64_t)holeBytes);
}

// Appends the line to the journal file, at once and whole.
void
SalvorJournalWrite(const std::string &line)
{
   if (journalPath.empty()) {
      return;
   }
   std::string text = line + "\n";
   FileHandle file = SalvorPlat_OpenAppend(journalPath.c_str(), 0640);
   bool ok = file != FILE_INVALID_HANDLE && SalvorPlat_Append(file, text.data(), text.size());
   int err = File_LastError();
   SalvorPlat_CloseHandle(file);
   if (!ok && !journalFailing) {
      Warning("Cannot write the dump journal %s: %s\n", journalPath.c_str(), File_ErrorText(err));
   } else if (ok && journalFailing) {
      Log("The dump journal %s can be written again.\n", journalPath.c_str());
   }
   journalFailing = !ok;
}

// Writes, counts and hooks a finished record.
void
SalvorJournalEmit(SalvorDumpRecord *rec)
{
   rec->line.append(",\"outcome\":\"").append(SalvorOutcomeName(rec->outcome)).append("\"");
   SalvorAppendField(&rec->line, "reason", rec->reason.c_str());
   rec->line.append("}");
   SalvorJournalWrite(rec->line);
   salvorCounters.dumps[rec->outcome]++;
   SalvorHookDumpEnded(*rec);
}

// The record of a dump of a slot, up to its outcome.
void
SalvorRecordOfSlot(const salvorCoreDumpInfo *slot, const SalvorDumpTrack &track,
                   bool fileKept, int64_t size, SalvorDumpRecord *rec)
{
   SalvorAddrText host(slot->clientIP);
   rec->host = host.text;
   rec->file = fileKept && slot->fileName != nullptr ? slot->fileName : "";
   SalvorPlat_FormatIsoTime(SalvorPlat_WallUsec(), rec->ended, sizeof rec->ended);
   SalvorPlat_FormatIsoTime(track.startedUsec, rec->started, sizeof rec->started);
   rec->bytes = track.bytes;
   rec->size = size;
   uint64_t holeBytes = 0;
   track.ranges.Holes(nullptr, 0, &holeBytes);
   rec->holeBytes = track.ranges.Unknown() ? -1 : (int64_t)holeBytes;

   std::string &line = rec->line;
   line = "{";
   SalvorAppendField(&line, "time", rec->ended);
   SalvorAppendField(&line, "started", rec->started);
   SalvorAppendField(&line, "host", host.text);
   if (!rec->file.empty()) {
      SalvorAppendField(&line, "file", rec->file.c_str());
   } else if (slot->fileName != nullptr) {
      SalvorAppendField(&line, "removedFile", slot->fileName);
   }
   SalvorAppendNumber(&line, "slot", slot->dumpID);
   SalvorAppendNumber(&line, "clientTimestamp", slot->timestamp);
   SalvorAppendNumber(&line, "bytes", (int64_t)track.bytes);
   SalvorAppendNumber(&line, "size", size, size >= 0);
   SalvorAppendNumber(&line, "messages", (int64_t)track.messages);
   SalvorAppendNumber(&line, "duplicates", (int64_t)track.duplicates);
   SalvorAppendHoles(&line, track);
}

}  // namespace

void
SalvorJournalSetLogFile(const char *logFile)
{
   journalPath.clear();
   journalFailing = false;
   if (logFile == nullptr || logFile[0] == '\0') {
      return;
   }
   char *dir = nullptr;
   char *base = nullptr;
   File_DirAndBase(logFile, &dir, &base);
   if (dir != nullptr) {
      journalPath = std::string(dir) + DIRSEPS + SALVOR_JOURNAL_FILE_NAME;
   }
   std::free(dir);
   std::free(base);
}

void
SalvorJournalDumpStarted(const salvorCoreDumpInfo *slot)
{
   SalvorDumpTrack *track = SalvorTrackOf(slot);
   if (track != nullptr) {
      track->startedUsec = SalvorPlat_WallUsec();
      track->ranges.Reset();
      track->bytes = track->messages = track->duplicates = track->failedWrites = 0;
      track->lastError = 0;
   }
}

void
SalvorJournalData(const salvorCoreDumpInfo *slot, uint64_t offset, size_t length,
                  size_t written, int error)
{
   salvorCounters.receivedBytes += written;
   SalvorDumpTrack *track = SalvorTrackOf(slot);
   if (track == nullptr) {
      return;
   }
   track->messages++;
   track->bytes += written;
   if (track->ranges.Add(offset, offset + written) && written == length && length > 0) {
      track->duplicates++;
   }
   if (written != length) {
      track->failedWrites++;
      track->lastError = error;
   }
}

uint64_t
SalvorJournalBytes(const salvorCoreDumpInfo *slot)
{
   const SalvorDumpTrack *track = SalvorTrackOf(slot);
   return track != nullptr ? track->bytes : 0;
}

int64_t
SalvorJournalFileSize(const salvorCoreDumpInfo *slot)
{
   uint64_t size = 0;
   if (!FileIO_IsValid(&slot->fd) || !SalvorPlat_FileSize(slot->fd.handle, &size)) {
      return -1;
   }
   return (int64_t)size;
}

void
SalvorJournalDumpDone(const salvorCoreDumpInfo *slot, int64_t size)
{
   const SalvorDumpTrack *track = SalvorTrackOf(slot);
   if (track == nullptr) {
      return;
   }
   uint64_t holeBytes = 0;
   size_t holes = track->ranges.Holes(nullptr, 0, &holeBytes);
   char reason[256];
   SalvorOutcome outcome;
   if (track->ranges.Unknown()) {
      outcome = SALVOR_OUTCOME_INCOMPLETE;
      std::snprintf(reason, sizeof reason, "done; holes unknown: more than %zu separate ranges "
                    "were written", SALVOR_MAX_RANGES);
   } else if (track->bytes == 0) {
      outcome = SALVOR_OUTCOME_INCOMPLETE;
      std::snprintf(reason, sizeof reason, "done, but no data was written");
   } else if (holes == 0) {
      outcome = SALVOR_OUTCOME_COMPLETE;
      std::snprintf(reason, sizeof reason, "done");
   } else if (track->failedWrites > 0) {
      outcome = SALVOR_OUTCOME_WRITE_FAILED;
      std::snprintf(reason, sizeof reason, "done with %zu holes (%" PRIu64 " bytes) after %"
                    PRIu64 " failed writes: %s", holes, holeBytes, track->failedWrites,
                    File_ErrorText(track->lastError));
   } else {
      outcome = SALVOR_OUTCOME_INCOMPLETE;
      std::snprintf(reason, sizeof reason, "done with %zu holes (%" PRIu64 " bytes missing)",
                    holes, holeBytes);
   }
   SalvorJournalDumpEnded(slot, outcome, reason, true, size);
}

void
SalvorJournalDumpEnded(const salvorCoreDumpInfo *slot, SalvorOutcome outcome,
                       const char *reason, bool fileKept, int64_t size)
{
   const SalvorDumpTrack *track = SalvorTrackOf(slot);
   if (track == nullptr) {
      return;
   }
   SalvorDumpRecord rec{};
   rec.outcome = outcome;
   rec.reason = reason;
   SalvorRecordOfSlot(slot, *track, fileKept, size, &rec);
   SalvorJournalEmit(&rec);
}

void
SalvorJournalStopAll()
{
   if (salvorSlots == nullptr) {
      return;
   }
   for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
      const salvorCoreDumpInfo *slot = &salvorSlots[i];
      if (SalvorSlotInUse(slot)) {
         SalvorJournalDumpEnded(slot, SALVOR_OUTCOME_STOPPED,
                                "the collector stopped; the file stays as far as written", true,
                                SalvorJournalFileSize(slot));
      }
   }
}

void
SalvorJournalRemoved(const char *host, const char *path, int64_t size, int64_t mtimeSec,
                     const char *reason)
{
   SalvorDumpRecord rec{};
   rec.outcome = SALVOR_OUTCOME_REMOVED;
   rec.host = host;
   rec.reason = reason;
   rec.size = size;
   rec.holeBytes = -1;
   SalvorPlat_FormatIsoTime(SalvorPlat_WallUsec(), rec.ended, sizeof rec.ended);
   std::string &line = rec.line;
   line = "{";
   SalvorAppendField(&line, "time", rec.ended);
   char modified[40];
   SalvorPlat_FormatIsoTime(mtimeSec * 1000000, modified, sizeof modified);
   SalvorAppendField(&line, "modified", modified);
   SalvorAppendField(&line, "host", host);
   SalvorAppendField(&line, "removedFile", path);
   SalvorAppendNumber(&line, "size", size, size >= 0);
   SalvorJournalEmit(&rec);
}
