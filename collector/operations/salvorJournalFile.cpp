// The journal file and its waiting records; see salvorJournalFile.h.
#include "collector/operations/salvorJournalFile.h"

#include <cinttypes>
#include <deque>

#include "collector/operations/salvorOpsCounters.h"
#include "collector/receive/salvorClock.h"
#include "lib/file/file.h"
#include "lib/file/fileDir.h"
#include "lib/log/log.h"

namespace {

constexpr uint64_t SALVOR_JOURNAL_RETRY_USEC = 1000000;

std::string journalPath;
std::deque<std::string> waiting;  // lines with their newline, oldest first
bool journalFailing = false;
uint64_t droppedSinceFailing = 0;
uint64_t lastTry = 0;

// Appends one line, whole or not at all; 0 or the platform error.
int
SalvorJournalWriteLine(const std::string &text)
{
   FileHandle file;
   if (FileIO_OpenAppend(journalPath.c_str(), 0640, &file) != 0) {
      return File_LastError();
   }
   int err = 0;
   if (FileIO_AppendWhole(file, text.data(), text.size()) != 0) {
      err = File_LastError() != 0 ? File_LastError() : -1;
   }
   FileIO_CloseHandle(file);
   return err;
}

// Writes the waiting records in order, up to the first that fails.
void
SalvorJournalWriteWaiting()
{
   lastTry = SalvorClockUsec();
   int err = 0;
   while (!waiting.empty() && (err = SalvorJournalWriteLine(waiting.front())) == 0) {
      waiting.pop_front();
   }
   if (err != 0 && !journalFailing) {
      Warning("Cannot write the dump journal %s: %s. Up to %u records wait to be written.\n",
              journalPath.c_str(), err > 0 ? File_ErrorText(err) : "short write",
              (unsigned)SALVOR_JOURNAL_MAX_WAITING);
   } else if (err == 0 && journalFailing) {
      Log("The dump journal %s can be written again; %" PRIu64 " records were dropped "
          "meanwhile.\n", journalPath.c_str(), droppedSinceFailing);
      droppedSinceFailing = 0;
   }
   journalFailing = err != 0;
}

}  // namespace

void
SalvorJournalFileSetPath(const std::string &path)
{
   journalPath = path;
   waiting.clear();
   journalFailing = false;
   droppedSinceFailing = 0;
}

void
SalvorJournalFileAppend(const std::string &line)
{
   if (journalPath.empty()) {
      return;
   }
   if (waiting.size() >= SALVOR_JOURNAL_MAX_WAITING) {
      SalvorJournalWriteWaiting();
   }
   if (waiting.size() >= SALVOR_JOURNAL_MAX_WAITING) {
      // Those that wait are older: they stay, so the journal keeps its order.
      if (droppedSinceFailing == 0) {
         Warning("The dump journal %s cannot be written and %u records wait: further "
                 "records are dropped until it can.\n", journalPath.c_str(),
                 (unsigned)waiting.size());
      }
      droppedSinceFailing++;
      salvorOpsCounters.journalDropped++;
      return;
   }
   waiting.push_back(line + "\n");
   SalvorJournalWriteWaiting();
}

void
SalvorJournalFileRetryIfDue()
{
   if (!waiting.empty() && SalvorClockUsec() - lastTry >= SALVOR_JOURNAL_RETRY_USEC) {
      SalvorJournalWriteWaiting();
   }
}

void
SalvorJournalFileStop()
{
   if (!waiting.empty()) {
      SalvorJournalWriteWaiting();
   }
   if (!waiting.empty() || droppedSinceFailing > 0) {
      Warning("The dump journal %s lost %u records waiting to be written, and %" PRIu64
              " dropped before.\n", journalPath.c_str(), (unsigned)waiting.size(),
              droppedSinceFailing);
      salvorOpsCounters.journalDropped += waiting.size();
      waiting.clear();
   }
}

size_t
SalvorJournalFileWaiting()
{
   return waiting.size();
}
