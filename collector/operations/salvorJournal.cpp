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
#include "collector/operations/salvorText.h"
#include "collector/receive/salvorDumpEvents.h"
#include "collector/receive/salvorLoopTasks.h"
#include "collector/receive/salvorSlots.h"
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
   uint32_t resumed;         // the restarts of the collector it survived
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
SalvorTrackOf(int slot)
{
   return slot >= 0 && slot < SALVOR_MAX_DUMPS ? &tracks[slot] : nullptr;
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
   salvorOpsCounters.dumps[rec->outcome]++;
   if (rec->outcome != SALVOR_OUTCOME_REMOVED) {
      (rec->key.empty() ? salvorOpsCounters.dumpsPlain : salvorOpsCounters.dumpsSealed)++;
   }
   SalvorHookDumpEnded(*rec);
}

// The record of an ended dump, up to its outcome.
void
SalvorRecordOfDump(const SalvorDumpEnded &dump, const SalvorDumpTrack &track,
                   SalvorDumpRecord *rec)
{
   SalvorAddrText host(dump.host);
   rec->host = host.text;
   rec->key = dump.key != nullptr ? dump.key : "";
   rec->file = dump.fileKept && dump.path != nullptr ? dump.path : "";
   SalvorPlat_FormatIsoTime(SalvorPlat_WallUsec(), rec->ended, sizeof rec->ended);
   SalvorPlat_FormatIsoTime(track.startedUsec, rec->started, sizeof rec->started);
   rec->bytes = track.bytes;
   rec->size = dump.size;
   SalvorHoleSummary sum = SalvorHolesOf(track);
   rec->holeBytes = sum.known ? (int64_t)sum.bytes : -1;

   std::string &line = rec->line;
   line = "{";
   SalvorAppendField(&line, "time", rec->ended);
   SalvorAppendField(&line, "started", rec->started);
   SalvorAppendField(&line, "host", host.text);
   if (!rec->key.empty()) {
      SalvorAppendField(&line, "key", rec->key.c_str());
   }
   if (!rec->file.empty()) {
      SalvorAppendField(&line, "file", rec->file.c_str());
   } else if (dump.path != nullptr) {
      SalvorAppendField(&line, "removedFile", dump.path);
   }
   SalvorAppendNumber(&line, "slot", dump.slot);
   SalvorAppendNumber(&line, "clientTimestamp", dump.timestamp);
   SalvorAppendNumber(&line, "bytes", (int64_t)track.bytes);
   SalvorAppendNumber(&line, "size", dump.size, dump.size >= 0);
   SalvorAppendNumber(&line, "messages", (int64_t)track.messages);
   SalvorAppendNumber(&line, "duplicates", (int64_t)track.duplicates);
   SalvorAppendHoles(&line, track);
   if (track.sparse) {
      line.append(",\"sparse\":true");
   }
   if (track.resumed > 0) {
      SalvorAppendNumber(&line, "resumed", track.resumed);
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

namespace {

void
SalvorJournalBegun(const SalvorDumpBegun &dump)
{
   SalvorDumpTrack *track = SalvorTrackOf(dump.slot);
   if (track != nullptr) {
      track->startedUsec = dump.startedWallUsec != 0 ? dump.startedWallUsec : SalvorPlat_WallUsec();
      track->resumed = dump.resumed;
      track->ranges.Reset();
      track->failed.Reset();
      track->bytes = track->messages = track->duplicates = track->failedWrites = 0;
      track->lastError = 0;
      track->lastRefusal = nullptr;
      track->sparse = false;
   }
}

// A data message of the dump: written (`written` of its length), or refused.
void
SalvorJournalData(const SalvorDumpData &data)
{
   SalvorDumpTrack *track = SalvorTrackOf(data.slot);
   if (track == nullptr) {
      return;
   }
   track->messages++;
   uint64_t end = data.offset + data.length;
   if (data.refused) {
      // Its bytes are a hole unless written later.
      track->failed.Add(data.offset, end);
      track->failedWrites++;
      track->lastError = data.error;
      track->lastRefusal = data.why;
      return;
   }
   track->bytes += data.written;
   if (track->ranges.Add(data.offset, data.offset + data.written) &&
       data.written == data.length && data.length > 0) {
      track->duplicates++;
   }
   if (data.written != data.length) {
      track->failed.Add(data.offset + data.written, end);
      track->failedWrites++;
      track->lastError = data.error;
      track->lastRefusal = nullptr;
   }
}

// Writes, counts and hooks the record of an ended dump.
void
SalvorJournalEnd(const SalvorDumpEnded &dump, const SalvorDumpTrack &track,
                 SalvorOutcome outcome, const char *reason)
{
   SalvorDumpRecord rec{};
   rec.outcome = outcome;
   rec.reason = reason;
   SalvorRecordOfDump(dump, track, &rec);
   SalvorJournalEmit(&rec);
}

/*
 * Its done came: complete, incomplete (holes below its highest byte) or
 * writeFailed (bytes whose write failed and that were not written since,
 * wherever they lie). A sparse dump, whose sender left its holes out on
 * purpose, is complete with them.
 */
void
SalvorJournalDone(const SalvorDumpEnded &dump, SalvorDumpTrack *track)
{
   bool sparse = dump.sparse;
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
   SalvorJournalEnd(dump, *track, outcome, reason);
}

// The idle sweep ended it: expired, or writeFailed when bytes whose write
// failed were never written since.
void
SalvorJournalIdle(const SalvorDumpEnded &dump, const SalvorDumpTrack &track)
{
   char reason[256];
   if (SalvorHolesOf(track).lost) {
      // Cut off by a failing disk rather than by a silent host.
      std::snprintf(reason, sizeof reason, "idle for %" PRIu64 " seconds after %" PRIu64
                    " failed writes: %s", dump.idleSec, track.failedWrites,
                    SalvorLastFailure(track));
      SalvorJournalEnd(dump, track, SALVOR_OUTCOME_WRITE_FAILED, reason);
      return;
   }
   std::snprintf(reason, sizeof reason, "idle for %" PRIu64 " seconds", dump.idleSec);
   SalvorJournalEnd(dump, track, SALVOR_OUTCOME_EXPIRED, reason);
}

void
SalvorJournalEnded(const SalvorDumpEnded &dump)
{
   SalvorDumpTrack *track = SalvorTrackOf(dump.slot);
   if (track == nullptr) {
      return;
   }
   switch (dump.how) {
   case SALVOR_END_DONE:
      SalvorJournalDone(dump, track);
      break;
   case SALVOR_END_IDLE:
      SalvorJournalIdle(dump, *track);
      break;
   case SALVOR_END_LOST:
      SalvorJournalEnd(dump, *track, SALVOR_OUTCOME_WRITE_FAILED, dump.reason);
      break;
   case SALVOR_END_STOPPED:
      SalvorJournalEnd(dump, *track, SALVOR_OUTCOME_STOPPED, dump.reason);
      break;
   case SALVOR_END_KEY_REVOKED:
      SalvorJournalEnd(dump, *track, SALVOR_OUTCOME_KEY_REVOKED, dump.reason);
      break;
   }
}

void
SalvorJournalStart(void (*)())
{
   SalvorJournalSetLogFile(SalvorConfig.logFile);
}

}  // namespace

void
SalvorJournalSubscribe()
{
   static const SalvorDumpSubscriber subscriber{.begun = SalvorJournalBegun,
                                                .data = SalvorJournalData,
                                                .ended = SalvorJournalEnded};
   static const SalvorLoopTask task{.start = SalvorJournalStart,
                                    .eachPass = SalvorJournalFileRetryIfDue,
                                    .flush = SalvorJournalFileStop};
   SalvorSubscribeDumpEvents(&subscriber);
   SalvorAddLoopTask(&task);
}

uint64_t
SalvorJournalBytes(int slot)
{
   const SalvorDumpTrack *track = SalvorTrackOf(slot);
   return track != nullptr ? track->bytes : 0;
}

void
SalvorJournalRestoreRange(int slot, uint64_t start, uint64_t end)
{
   SalvorDumpTrack *track = SalvorTrackOf(slot);
   if (track != nullptr && end > start) {
      track->ranges.Add(start, end);
      track->bytes += end - start;
   }
}

void
SalvorJournalRestoreUnknown(int slot)
{
   SalvorDumpTrack *track = SalvorTrackOf(slot);
   if (track != nullptr) {
      track->ranges.MarkUnknown();
   }
}

void
SalvorJournalLost(const SalvorLostDump &dump)
{
   SalvorDumpRecord rec{};
   rec.outcome = SALVOR_OUTCOME_LOST;
   SalvorAddrText host(dump.host);
   rec.host = host.text;
   rec.key = dump.key != nullptr ? dump.key : "";
   rec.file = dump.path != nullptr ? dump.path : "";
   rec.reason = dump.reason;
   rec.bytes = dump.bytes;
   rec.size = -1;
   rec.holeBytes = -1;
   SalvorPlat_FormatIsoTime(SalvorPlat_WallUsec(), rec.ended, sizeof rec.ended);
   SalvorPlat_FormatIsoTime(dump.startedWallUsec, rec.started, sizeof rec.started);
   std::string &line = rec.line;
   line = "{";
   SalvorAppendField(&line, "time", rec.ended);
   SalvorAppendField(&line, "started", rec.started);
   SalvorAppendField(&line, "host", host.text);
   if (!rec.key.empty()) {
      SalvorAppendField(&line, "key", rec.key.c_str());
   }
   if (!rec.file.empty()) {
      SalvorAppendField(&line, "file", rec.file.c_str());
   }
   SalvorAppendNumber(&line, "slot", dump.slot);
   SalvorAppendNumber(&line, "clientTimestamp", dump.timestamp);
   SalvorAppendNumber(&line, "bytes", (int64_t)dump.bytes);
   SalvorAppendNumber(&line, "resumed", dump.resumed);
   SalvorJournalEmit(&rec);
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
