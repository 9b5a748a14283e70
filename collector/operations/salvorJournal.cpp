// The dump journal; see salvorJournal.h.
#include "collector/operations/salvorJournal.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "collector/platform/salvorOpsPlat.h"
#include "collector/receive/salvorAddress.h"
#include "collector/operations/salvorHook.h"
#include "collector/operations/salvorJournalFile.h"
#include "collector/operations/salvorRanges.h"
#include "collector/receive/salvorSlots.h"
#include "collector/operations/salvorText.h"
#include "collector/startup/salvorConfig.h"
#include "lib/file/file.h"
#include "lib/file/fileDir.h"
#include "lib/log/log.h"

namespace {

// What the journal gathers about the dump of one slot.
struct SalvorDumpTrack {
   int64_t startedUsec;
   SalvorRangeSet ranges;   // written
   SalvorRangeSet failed;   // whose writes failed, perhaps written since
   uint64_t bytes;
   uint64_t messages;
   uint64_t duplicates;
   uint64_t failedWrites;
   int lastError;
   const char *lastRefusal;  // why the last failed write was not tried; null: lastError
   bool sparse;              // its sender left holes out on purpose
};

// Where a dump has holes: gaps in what was written, up to its highest
// byte or the end of a range whose write failed and was not made since.
struct SalvorHoleSummary {
   bool known;
   uint64_t end;
   size_t count;
   uint64_t bytes;
   bool lost;           // some bytes are missing because their write failed
   uint64_t lostBytes;  // how many, when both sets are known
};

SalvorHoleSummary
SalvorHolesOf(const SalvorDumpTrack &track)
{
   SalvorHoleSummary sum{};
   sum.known = !track.ranges.Unknown();
   uint64_t lostEnd = 0;
   if (track.failed.Unknown()) {
      sum.lost = true;  // nothing tells that they were written again
   } else if (sum.known) {
      sum.lostBytes = track.failed.Missing(track.ranges, &lostEnd);
      sum.lost = sum.lostBytes > 0;
   }
   sum.end = std::max(track.ranges.Highest(), lostEnd);
   if (sum.known) {
      sum.count = track.ranges.Holes(nullptr, 0, &sum.bytes, sum.end);
   }
   return sum;
}

const char *
SalvorLastFailure(const SalvorDumpTrack &track)
{
   return track.lastRefusal != nullptr ? track.lastRefusal : File_ErrorText(track.lastError);
}

SalvorDumpTrack tracks[SALVOR_MAX_DUMPS];

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
   SalvorHoleSummary sum = SalvorHolesOf(track);
   if (!sum.known) {
      line->append(",\"holes\":null,\"holeBytes\":null");
      return;
   }
   SalvorRange holes[SALVOR_MAX_HOLES_SHOWN];
   uint64_t holeBytes = 0;
   size_t count = track.ranges.Holes(holes, SALVOR_MAX_HOLES_SHOWN, &holeBytes, sum.end);
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

// Writes, counts and hooks a finished record.
void
SalvorJournalEmit(SalvorDumpRecord *rec)
{
   rec->line.append(",\"outcome\":\"").append(SalvorOutcomeName(rec->outcome)).append("\"");
   SalvorAppendField(&rec->line, "reason", rec->reason.c_str());
   rec->line.append("}");
   SalvorJournalFileAppend(rec->line);
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
   SalvorHoleSummary sum = SalvorHolesOf(track);
   rec->holeBytes = sum.known ? (int64_t)sum.bytes : -1;

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
   if (track.sparse) {
      line.append(",\"sparse\":true");
   }
}

}  // namespace

void
SalvorJournalSetLogFile(const char *logFile)
{
   std::string path;
   if (logFile != nullptr && logFile[0] != '\0') {
      char *dir = nullptr;
      char *base = nullptr;
      File_DirAndBase(logFile, &dir, &base);
      if (dir != nullptr) {
         path = std::string(dir) + DIRSEPS + SALVOR_JOURNAL_FILE_NAME;
      }
      std::free(dir);
      std::free(base);
   }
   SalvorJournalFileSetPath(path);
}

void
SalvorJournalDumpStarted(const salvorCoreDumpInfo *slot)
{
   SalvorDumpTrack *track = SalvorTrackOf(slot);
   if (track != nullptr) {
      track->startedUsec = SalvorPlat_WallUsec();
      track->ranges.Reset();
      track->failed.Reset();
      track->bytes = track->messages = track->duplicates = track->failedWrites = 0;
      track->lastError = 0;
      track->lastRefusal = nullptr;
      track->sparse = false;
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
      track->failed.Add(offset + written, offset + length);
      track->failedWrites++;
      track->lastError = error;
      track->lastRefusal = nullptr;
   }
}

void
SalvorJournalDataRefused(const salvorCoreDumpInfo *slot, uint64_t offset, size_t length,
                         int error, const char *why)
{
   SalvorDumpTrack *track = SalvorTrackOf(slot);
   if (track == nullptr) {
      return;
   }
   track->messages++;
   track->failed.Add(offset, offset + length);
   track->failedWrites++;
   track->lastError = error;
   track->lastRefusal = why;
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
   if (!FileIO_IsValid(&slot->fd) || FileIO_GetSize(&slot->fd, &size) != 0) {
      return -1;
   }
   return (int64_t)size;
}

void
SalvorJournalDumpDone(const salvorCoreDumpInfo *slot, int64_t size, bool sparse)
{
   SalvorDumpTrack *track = SalvorTrackOf(slot);
   if (track == nullptr) {
      return;
   }
   track->sparse = sparse;
   SalvorHoleSummary sum = SalvorHolesOf(*track);
   char reason[256];
   SalvorOutcome outcome = SALVOR_OUTCOME_INCOMPLETE;
   if (sum.lost) {
      outcome = SALVOR_OUTCOME_WRITE_FAILED;
      std::snprintf(reason, sizeof reason, "done, but %s bytes were never written after %"
                    PRIu64 " failed writes: %s",
                    track->failed.Unknown() ? "some" : std::to_string(sum.lostBytes).c_str(),
                    track->failedWrites, SalvorLastFailure(*track));
   } else if (!sum.known) {
      outcome = sparse ? SALVOR_OUTCOME_COMPLETE : SALVOR_OUTCOME_INCOMPLETE;
      std::snprintf(reason, sizeof reason, "done; holes unknown: more than %zu separate ranges "
                    "were written", SALVOR_MAX_RANGES);
   } else if (track->bytes == 0) {
      std::snprintf(reason, sizeof reason, "done, but no data was written");
   } else if (sum.count == 0) {
      outcome = SALVOR_OUTCOME_COMPLETE;
      std::snprintf(reason, sizeof reason, "done");
   } else if (sparse) {
      outcome = SALVOR_OUTCOME_COMPLETE;
      std::snprintf(reason, sizeof reason, "done; sparse: %zu holes (%" PRIu64 " bytes) left "
                    "out by the sender", sum.count, sum.bytes);
   } else {
      std::snprintf(reason, sizeof reason, "done with %zu holes (%" PRIu64 " bytes missing)",
                    sum.count, sum.bytes);
   }
   SalvorJournalDumpEnded(slot, outcome, reason, true, size);
}

void
SalvorJournalDumpExpired(const salvorCoreDumpInfo *slot, uint64_t idleSec, bool fileKept,
                         int64_t size)
{
   const SalvorDumpTrack *track = SalvorTrackOf(slot);
   if (track == nullptr) {
      return;
   }
   char reason[256];
   if (SalvorHolesOf(*track).lost) {
      // Cut off by a failing disk rather than by a silent host.
      std::snprintf(reason, sizeof reason, "idle for %" PRIu64 " seconds after %" PRIu64
                    " failed writes: %s", idleSec, track->failedWrites,
                    SalvorLastFailure(*track));
      SalvorJournalDumpEnded(slot, SALVOR_OUTCOME_WRITE_FAILED, reason, fileKept, size);
      return;
   }
   std::snprintf(reason, sizeof reason, "idle for %" PRIu64 " seconds", idleSec);
   SalvorJournalDumpEnded(slot, SALVOR_OUTCOME_EXPIRED, reason, fileKept, size);
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
   for (int i = 0; salvorSlots != nullptr && i < SALVOR_MAX_DUMPS; i++) {
      const salvorCoreDumpInfo *slot = &salvorSlots[i];
      if (SalvorSlotInUse(slot)) {
         SalvorJournalDumpEnded(slot, SALVOR_OUTCOME_STOPPED,
                                "the collector stopped; the file stays as far as written", true,
                                SalvorJournalFileSize(slot));
      }
   }
   SalvorJournalFileStop();
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
