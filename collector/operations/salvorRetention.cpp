// Free space and retention on the data file system; see salvorRetention.h.
#include "collector/operations/salvorRetention.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "collector/platform/salvorOpsPlat.h"
#include "collector/receive/salvorAddress.h"
#include "collector/operations/salvorJournal.h"
#include "collector/receive/salvorDumpEvents.h"
#include "collector/receive/salvorLoopTasks.h"
#include "collector/receive/salvorSlots.h"
#include "collector/operations/salvorText.h"
#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorOpsConfig.h"
#include "lib/file/file.h"
#include "lib/file/fileDir.h"
#include "lib/log/log.h"

namespace {

constexpr uint64_t SALVOR_FREE_RECHECK_USEC = 1000000;
constexpr uint64_t SALVOR_REFUSAL_LOG_USEC = 10000000;

struct SalvorDiskState {
   bool known;
   uint64_t freeAtCheck;
   uint64_t writtenSince;
   uint64_t checkedUsec;
   uint64_t lastRefusalLog;
   bool refusing;
};

SalvorDiskState disk{};
bool retentionDue = true;
uint64_t lastRetention = 0;

uint64_t
SalvorKeepBytes()
{
   return (uint64_t)SalvorOpsConfig.keepFreeMiB << 20;
}

void
SalvorDiskRefresh()
{
   disk.known = File_FreeBytes(SalvorConfig.dataDir, &disk.freeAtCheck) == 0;
   disk.writtenSince = 0;
   disk.checkedUsec = SalvorClockUsec();
}

// Free space that writing `bytes` would leave, as far as known.
bool
SalvorDiskLeaves(uint64_t bytes, uint64_t *left)
{
   uint64_t used = disk.writtenSince + bytes;
   *left = disk.freeAtCheck > used ? disk.freeAtCheck - used : 0;
   return !disk.known || *left >= SalvorKeepBytes();
}

}  // namespace

bool
SalvorDiskAllowsInit(const NetIp &clientIP)
{
   if (SalvorOpsConfig.keepFreeMiB == 0) {
      return true;
   }
   SalvorDiskRefresh();
   uint64_t left = 0;
   if (SalvorDiskLeaves(0, &left)) {
      return true;
   }
   Log("Refusing a new dump from %s: the data file system has %s free, "
       "and %" PRId64 " MiB are to be kept free.\n", SalvorAddrText(clientIP).text,
       SalvorSizeText(left).c_str(), SalvorOpsConfig.keepFreeMiB);
   return false;
}

bool
SalvorDiskAllowsWrite(const NetIp &clientIP, size_t bytes)
{
   if (SalvorOpsConfig.keepFreeMiB == 0) {
      return true;
   }
   uint64_t now = SalvorClockUsec();
   if (now - disk.checkedUsec >= SALVOR_FREE_RECHECK_USEC) {
      SalvorDiskRefresh();
   }
   uint64_t left = 0;
   bool allowed = SalvorDiskLeaves(bytes, &left);
   if (!allowed && (!disk.refusing || now - disk.lastRefusalLog >= SALVOR_REFUSAL_LOG_USEC)) {
      Log("Refusing data from %s: the data file system has %s free, and "
          "%" PRId64 " MiB are to be kept free.\n", SalvorAddrText(clientIP).text,
          SalvorSizeText(left).c_str(), SalvorOpsConfig.keepFreeMiB);
      disk.lastRefusalLog = now;
   } else if (allowed && disk.refusing) {
      Log("The data file system has room again: data is written.\n");
   }
   disk.refusing = !allowed;
   return allowed;
}

void
SalvorDiskWritten(size_t bytes)
{
   disk.writtenSince += bytes;
}

bool
SalvorDiskFreeBytes(uint64_t *freeBytes)
{
   return File_FreeBytes(SalvorConfig.dataDir, freeBytes) == 0;
}


namespace {

struct SalvorRetentionScan {
   int64_t nowSec;
   std::vector<FileId> inProgress;
};

// Where the walk is: the levels below the data directory, and their path.
struct SalvorRetentionPlace {
   const char *levels[8];
   int depth;
   std::string path;
};

// Skips `count` digits at *at (at least `min`, at most `max`); false when they are not there.
bool
SalvorSkipDigits(const char **at, size_t min, size_t max)
{
   size_t n = 0;
   while (n < max && (*at)[n] >= '0' && (*at)[n] <= '9') {
      n++;
   }
   *at += n;
   return n >= min;
}

bool
SalvorSkipText(const char **at, const char *text)
{
   size_t n = std::strlen(text);
   if (std::strncmp(*at, text, n) != 0) {
      return false;
   }
   *at += n;
   return true;
}

/*
 * Whether `name` is one the collector gives a dump of the host `hostName`
 * (its levels joined with dots): zdump_<host>-YYYY-MM-DD-HH_MM-N, or that
 * with the suffix of a shipped hook's compressed copy. Anything else by a
 * like name (an operator's zdump_notes, a copy) is not ours to remove.
 */
bool
SalvorIsDumpName(const char *name, const std::string &hostName)
{
   const char *at = name;
   bool ok = SalvorSkipText(&at, "zdump_") && SalvorSkipText(&at, hostName.c_str()) &&
             SalvorSkipText(&at, "-") && SalvorSkipDigits(&at, 4, 4) &&
             SalvorSkipText(&at, "-") && SalvorSkipDigits(&at, 2, 2) &&
             SalvorSkipText(&at, "-") && SalvorSkipDigits(&at, 2, 2) &&
             SalvorSkipText(&at, "-") && SalvorSkipDigits(&at, 2, 2) &&
             SalvorSkipText(&at, "_") && SalvorSkipDigits(&at, 2, 2) &&
             SalvorSkipText(&at, "-");
   // The counter: 0 to 255, written without leading zeros.
   const char *counter = at;
   if (!ok || !SalvorSkipDigits(&at, 1, 3) || (*counter == '0' && at - counter > 1) ||
       std::atoi(counter) > 255) {
      return false;
   }
   return *at == '\0' || std::strcmp(at, ".zst") == 0 || std::strcmp(at, ".zip") == 0 ||
          std::strcmp(at, ".age") == 0;
}

bool
SalvorIsFinishedDump(const FileDirEntry &e, const std::string &hostName,
                     const SalvorRetentionScan &scan)
{
   if (!e.isFile || e.ownerWritable || !SalvorIsDumpName(e.name, hostName)) {
      return false;
   }
   for (const FileId &id : scan.inProgress) {
      if (id.device == e.id.device && id.inode == e.id.inode) {
         return false;
      }
   }
   return true;
}

// Why a finished dump goes, being the `rank`-th newest of its host; null: it stays.
const char *
SalvorRetentionReason(const FileDirEntry &e, size_t rank, int64_t nowSec, char *buf,
                      size_t size)
{
   if (SalvorOpsConfig.keepPerHost > 0 && rank >= (size_t)SalvorOpsConfig.keepPerHost) {
      std::snprintf(buf, size, "beyond the newest %d dumps of its host", SalvorOpsConfig.keepPerHost);
      return buf;
   }
   if (SalvorOpsConfig.keepDays > 0 &&
       e.mtimeSec < nowSec - (int64_t)SalvorOpsConfig.keepDays * 86400) {
      std::snprintf(buf, size, "older than %d days", SalvorOpsConfig.keepDays);
      return buf;
   }
   return nullptr;
}

// The dumps of one host's directory; returns how many were removed.
size_t
SalvorRetentionHost(FileHandle dir, const std::string &host, const SalvorRetentionPlace &at,
                    const std::vector<FileDirEntry> &entries, const SalvorRetentionScan &scan)
{
   const std::string &path = at.path;
   std::string hostName = at.levels[0];
   for (int i = 1; i < at.depth; i++) {
      hostName.append(".").append(at.levels[i]);
   }
   std::vector<const FileDirEntry *> dumps;
   for (const FileDirEntry &e : entries) {
      if (SalvorIsFinishedDump(e, hostName, scan)) {
         dumps.push_back(&e);
      }
   }
   std::sort(dumps.begin(), dumps.end(), [](const FileDirEntry *a, const FileDirEntry *b) {
      if (a->mtimeSec != b->mtimeSec) {
         return a->mtimeSec > b->mtimeSec;
      }
      return a->mtimeNsec != b->mtimeNsec ? a->mtimeNsec > b->mtimeNsec
                                          : std::strcmp(a->name, b->name) > 0;
   });
   size_t removed = 0;
   for (size_t rank = 0; rank < dumps.size(); rank++) {
      char buf[96];
      const char *why = SalvorRetentionReason(*dumps[rank], rank, scan.nowSec, buf, sizeof buf);
      if (why == nullptr) {
         continue;
      }
      std::string file = path + DIRSEPS + dumps[rank]->name;
      int err = File_RemoveAtIfSame(dir, dumps[rank]->name, &dumps[rank]->id);
      if (err != 0) {
         Log("Failed to remove dump %s (%s): %s\n", file.c_str(), why, File_ErrorText(err));
         continue;
      }
      removed++;
      Log("Removed dump %s: %s.\n", file.c_str(), why);
      SalvorJournalRemoved(host.c_str(), file.c_str(), (int64_t)dumps[rank]->size,
                           dumps[rank]->mtimeSec, why);
   }
   return removed;
}

/*
 * One level below the data directory (depth 0) down to a host's: an IPv4
 * host's dumps are 4 levels down, an IPv6 host's 8, and the directory of
 * an IPv4 host may also lead on to IPv6 hosts'. True when `dir` is empty
 * afterwards.
 */
bool
SalvorRetentionWalk(FileHandle dir, SalvorRetentionPlace *at, const SalvorRetentionScan &scan)
{
   std::vector<FileDirEntry> entries;
   if (File_ListDirAt(dir, &entries) != 0) {
      return false;
   }
   size_t left = entries.size();
   NetIp host;
   if ((at->depth == 4 || at->depth == 8) && SalvorHostOfLevels(at->levels, at->depth, &host)) {
      left -= SalvorRetentionHost(dir, SalvorAddrText(host).text, *at, entries, scan);
   }
   for (const FileDirEntry &e : entries) {
      // Every IPv4 number is also the shape of an IPv6 group.
      if (at->depth == 8 || !e.isDir || !SalvorIsHostLevel(e.name, false)) {
         continue;
      }
      FileHandle sub;
      if (File_OpenDirAt(dir, e.name, &sub) != 0) {
         continue;
      }
      size_t pathLength = at->path.size();
      at->path.append(DIRSEPS).append(e.name);
      at->levels[at->depth++] = e.name;
      bool empty = SalvorRetentionWalk(sub, at, scan);
      at->depth--;
      at->path.resize(pathLength);
      File_CloseDirHandle(sub);
      if (empty && File_RemoveDirAt(dir, e.name) == 0) {
         left--;
      }
   }
   return left == 0;
}

}  // namespace

void
SalvorRetentionDumpFinished()
{
   retentionDue = true;
}

void
SalvorRetentionSweep()
{
   SalvorRetentionScan scan{SalvorPlat_WallUsec() / 1000000, {}};
   for (int i = 0; salvorSlots != nullptr && i < SALVOR_MAX_DUMPS; i++) {
      FileId id;
      uint64_t links = 0;
      if (SalvorSlotInUse(&salvorSlots[i]) && FileIO_GetIdentity(&salvorSlots[i].fd, &id, &links)) {
         scan.inProgress.push_back(id);
      }
   }
   // The data directory itself may be a link the operator made; below it
   // nothing is followed.
   FileHandle top = File_OpenExistingDirTree(SalvorConfig.dataDir, nullptr, 0);
   if (top == FILE_INVALID_HANDLE) {
      Log("Cannot open the data directory %s to remove old dumps: %s\n", SalvorConfig.dataDir,
          File_ErrorText(File_LastError()));
      return;
   }
   SalvorRetentionPlace at{{}, 0, SalvorConfig.dataDir};
   SalvorRetentionWalk(top, &at, scan);
   File_CloseDirHandle(top);
   retentionDue = false;
   lastRetention = SalvorClockUsec();
}

void
SalvorRetentionSweepIfDue()
{
   if (SalvorOpsConfig.keepDays == 0 && SalvorOpsConfig.keepPerHost == 0) {
      return;
   }
   if (retentionDue ||
       SalvorClockUsec() - lastRetention >= SALVOR_RETENTION_PERIOD_SEC * 1000000u) {
      SalvorRetentionSweep();
   }
}

namespace {

void
SalvorRetentionData(const SalvorDumpData &data)
{
   SalvorDiskWritten(data.written);
}

void
SalvorRetentionEnded(const SalvorDumpEnded &dump)
{
   if (dump.how == SALVOR_END_DONE) {
      SalvorRetentionDumpFinished();
   }
}

}  // namespace

void
SalvorRetentionSubscribe()
{
   static const SalvorDumpSubscriber subscriber{.data = SalvorRetentionData,
                                                .ended = SalvorRetentionEnded,
                                                .mayBegin = SalvorDiskAllowsInit,
                                                .mayWrite = SalvorDiskAllowsWrite};
   static const SalvorLoopTask task{.idleSweep = SalvorRetentionSweepIfDue};
   SalvorSubscribeDumpEvents(&subscriber);
   SalvorAddLoopTask(&task);
}
