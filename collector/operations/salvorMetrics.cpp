// The collector's counters and metrics file; see salvorMetrics.h.
#include "collector/operations/salvorMetrics.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "collector/platform/salvorOpsPlat.h"
#include "collector/receive/salvorAddress.h"
#include "collector/operations/salvorJournal.h"
#include "collector/operations/salvorRetention.h"
#include "collector/operations/salvorText.h"
#include "collector/receive/salvorLoopTasks.h"
#include "collector/receive/salvorSlots.h"
#include "collector/startup/salvorOpsConfig.h"
#include "lib/file/file.h"
#include "lib/file/fileIO.h"
#include "lib/log/log.h"
#include "lib/misc/random.h"

namespace {

const char *const REFUSALS[SALVOR_REFUSED_COUNT] = {
   "noSlot", "namesTaken", "createFailed", "lowDiskSpace", "outOfMemory",
};
const char *const TYPES[SALVOR_DATAGRAM_TYPE_COUNT] = {
   "init", "data", "done", "statusCheck", "unknown",
};
const char *const DROPS[SALVOR_DROP_COUNT] = {"empty",      "short",   "long",
                                              "badMagic",   "notAllowed", "badSeal",
                                              "plainRefused", "keyRevoked"};
const char *const HOOK_RESULTS[SALVOR_HOOK_RESULT_COUNT] = {
   "succeeded", "failed", "timedOut", "spawnFailed", "dropped",
};

int64_t startWallUsec = 0;
uint64_t lastWrite = 0;
bool writeFailing = false;

// The help and type lines of a family; every family has both, as the
// text format's readers expect.
void
SalvorFamily(std::string *out, const char *name, const char *type, const char *help)
{
   out->append("# HELP ").append(name).append(" ").append(help).append("\n# TYPE ");
   out->append(name).append(" ").append(type).append("\n");
}

void
SalvorSample(std::string *out, const char *name, const char *label, const char *value,
             uint64_t number)
{
   out->append(name);
   if (label != nullptr) {
      out->append("{").append(label).append("=\"");
      SalvorAppendLabelValue(out, value);
      out->append("\"}");
   }
   char buf[32];
   std::snprintf(buf, sizeof buf, " %" PRIu64 "\n", number);
   out->append(buf);
}

/*
 * A counter family with one sample per label value. `name` ends in
 * _total: the text format names a counter's family as its samples.
 */
void
SalvorCounterFamily(std::string *out, const char *name, const char *help, const char *label,
                    const char *const *values, const uint64_t *counts, int n)
{
   SalvorFamily(out, name, "counter", help);
   for (int i = 0; i < n; i++) {
      SalvorSample(out, name, label, label != nullptr ? values[i] : nullptr, counts[i]);
   }
}

void
SalvorDumpsInProgress(std::string *out)
{
   uint64_t count = 0;
   std::string samples;
   for (int i = 0; salvorSlots != nullptr && i < SALVOR_MAX_DUMPS; i++) {
      const salvorCoreDumpInfo *slot = &salvorSlots[i];
      if (!SalvorSlotInUse(slot)) {
         continue;
      }
      count++;
      samples.append("salvor_dump_bytes{host=\"").append(SalvorAddrText(slot->clientIP).text);
      samples.append("\",file=\"");
      SalvorAppendLabelValue(&samples, slot->fileName);
      char buf[32];
      std::snprintf(buf, sizeof buf, "\"} %" PRIu64 "\n", SalvorJournalBytes(i));
      samples.append(buf);
   }
   SalvorFamily(out, "salvor_dumps_in_progress", "gauge", "Dumps being received.");
   SalvorSample(out, "salvor_dumps_in_progress", nullptr, nullptr, count);
   SalvorFamily(out, "salvor_dump_bytes", "gauge", "Payload bytes written so far to a dump "
                "in progress.");
   out->append(samples);
}

std::string
SalvorMetricsText()
{
   std::string out;
   const SalvorReceiveCounters &c = salvorReceiveCounters;
   const SalvorOpsCounters &ops = salvorOpsCounters;
   SalvorDumpsInProgress(&out);
   const char *outcomes[SALVOR_OUTCOME_COUNT];
   for (int i = 0; i < SALVOR_OUTCOME_COUNT; i++) {
      outcomes[i] = SalvorOutcomeName((SalvorOutcome)i);
   }
   SalvorCounterFamily(&out, "salvor_dumps_total", "Dumps that ended, by outcome.", "outcome",
                       outcomes, ops.dumps, SALVOR_OUTCOME_COUNT);
   const char *const transports[] = {"plain", "sealed"};
   const uint64_t byTransport[] = {ops.dumpsPlain, ops.dumpsSealed};
   SalvorCounterFamily(&out, "salvor_dumps_by_transport_total",
                       "Dumps that ended, by how their datagrams came.", "transport", transports,
                       byTransport, 2);
   SalvorCounterFamily(&out, "salvor_dumps_refused_total", "Inits refused, by reason.",
                       "reason", REFUSALS, c.refused, SALVOR_REFUSED_COUNT);
   SalvorCounterFamily(&out, "salvor_received_bytes_total",
                       "Payload bytes written to dump files.", nullptr, nullptr,
                       &c.receivedBytes, 1);
   SalvorCounterFamily(&out, "salvor_datagrams_total", "Datagrams with a good magic, by type.",
                       "type", TYPES, c.datagrams, SALVOR_DATAGRAM_TYPE_COUNT);
   SalvorCounterFamily(&out, "salvor_datagrams_dropped_total", "Datagrams dropped unanswered.",
                       "reason", DROPS, c.dropped, SALVOR_DROP_COUNT);
   uint64_t freeBytes = 0;
   if (SalvorDiskFreeBytes(&freeBytes)) {
      SalvorFamily(&out, "salvor_data_free_bytes", "gauge",
                   "Free bytes on the data file system.");
      SalvorSample(&out, "salvor_data_free_bytes", nullptr, nullptr, freeBytes);
   }
   SalvorCounterFamily(&out, "salvor_journal_records_dropped_total",
                       "Dump journal records dropped while the journal could not be written.",
                       nullptr, nullptr, &ops.journalDropped, 1);
   uint64_t throttled = Log_ThrottledCount();
   SalvorCounterFamily(&out, "salvor_log_throttled_total", "Log lines the throttle held back.",
                       nullptr, nullptr, &throttled, 1);
   SalvorCounterFamily(&out, "salvor_hook_runs_total", "Runs of the dump hook, by result.",
                       "result", HOOK_RESULTS, ops.hookRuns, SALVOR_HOOK_RESULT_COUNT);
   SalvorFamily(&out, "salvor_start_time_seconds", "gauge",
                "When the collector started, in seconds since 1970.");
   SalvorSample(&out, "salvor_start_time_seconds", nullptr, nullptr,
                (uint64_t)(startWallUsec / 1000000));
   return out;
}

}  // namespace

void
SalvorMetricsStart()
{
   startWallUsec = SalvorPlat_WallUsec();
   SalvorMetricsWrite();
}

void
SalvorMetricsWriteIfDue()
{
   if (SalvorOpsConfig.metricsFile[0] != '\0' &&
       SalvorClockUsec() - lastWrite >= SALVOR_METRICS_PERIOD_SEC * 1000000u) {
      SalvorMetricsWrite();
   }
}

static int
LastErrorOr(int fallback)
{
   int err = File_LastError();
   return err != 0 ? err : fallback;
}

/*
 * Writes `text` as the whole content of a new file, named `path` and a
 * random suffix, through the file library (which takes the path as UTF-8
 * on every platform). The file must not exist: whatever was planted by
 * that name, a link above all, is neither followed nor overwritten.
 * 0 with its name in *temp, or the platform error of the step that failed.
 */
static int
WriteNewTempFile(const char *path, const std::string &text, std::string *temp)
{
   FileIOFile file;
   FileIO_InitFile(&file);
   FileIOStatus status = FILEIO_EXISTS;
   for (int attempt = 0; attempt < 8 && status == FILEIO_EXISTS; attempt++) {
      uint64_t suffix = 0;
      if (!Random_Crypto(sizeof suffix, &suffix)) {
         return LastErrorOr(EIO);
      }
      char buf[24];
      std::snprintf(buf, sizeof buf, ".tmp.%016" PRIx64, suffix);
      *temp = std::string(path) + buf;
      status = FileIO_OpenPathMode(&file, temp->c_str(), FILEIO_ACCESS_WRITE,
                                   FILEIO_ACTION_CREATE_NEW, 0644);
   }
   if (status != FILEIO_SUCCESS) {
      temp->clear();
      return LastErrorOr(EIO);
   }
   size_t written = 0;
   status = FileIO_WriteBytes(&file, text.data(), text.size(), &written);
   int err = status == FILEIO_SUCCESS ? 0 : LastErrorOr(EIO);
   if (FileIO_CloseFile(&file) && err == 0) {
      err = LastErrorOr(EIO);
   }
   return err;
}

void
SalvorMetricsWrite()
{
   lastWrite = SalvorClockUsec();
   const char *path = SalvorOpsConfig.metricsFile;
   if (path[0] == '\0') {
      return;
   }
   std::string temp;
   int err = WriteNewTempFile(path, SalvorMetricsText(), &temp);
   if (err == 0) {
      err = File_Rename(temp.c_str(), path);
   }
   if (err != 0) {
      if (!temp.empty()) {
         File_Remove(temp.c_str());
      }
      if (!writeFailing) {
         Warning("Cannot write the metrics file %s: %s\n", path, File_ErrorText(err));
      }
   }
   writeFailing = err != 0;
}

namespace {

void
SalvorMetricsStartTask(void (*)())
{
   SalvorMetricsStart();
}

}  // namespace

void
SalvorMetricsSubscribe()
{
   static const SalvorLoopTask task{.start = SalvorMetricsStartTask,
                                    .eachPass = SalvorMetricsWriteIfDue,
                                    .stop = SalvorMetricsWrite};
   SalvorAddLoopTask(&task);
}
