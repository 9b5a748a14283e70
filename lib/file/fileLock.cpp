// Advisory lock files; see fileLock.h.
//
// Only directory creation, exclusive file creation, rename, deletion and
// listing order the lockers (a bakery algorithm): creating Dnnnnn.lck
// claims the number nnnnn; while any D entry exists nobody judges the
// members, so a ticket is never chosen against a half-written record. The
// ticket (lamport number) is one above the highest member seen; lockers
// go in the order (ticket, member name). Shared lockers do not wait for
// each other; an exclusive one waits for every earlier member, and
// everybody waits for earlier exclusive ones.
//
// The member record is read and written in fileLockMember.cpp, the
// identities it carries come from fileLockIdentity.cpp.
//
// Nothing the protocol creates follows a symbolic link: the lock
// directory must be a real directory, entry directories are made with
// mkdir and entry files with O_CREAT|O_EXCL, which refuse an existing
// name of any kind.
#include "lib/file/fileLock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/file/file.h"
#include "lib/file/fileIO.h"
#include "lib/file/fileInt.h"
#include "lib/file/fileLockInt.h"
#include "lib/file/filePlatform.h"
#include "lib/misc/logHook.h"
#include "lib/misc/hostinfo.h"
#include "lib/misc/msgList.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/panic.h"

struct FileLockToken {
   uint32_t signature;  // FILELOCK_TOKEN_SIGNATURE while valid
   bool portable;       // always: no platform here has mandatory locks
   char *pathName;      // the path as the caller gave it
   char *lockFilePath;  // the own member file, or fileLockImplicitMarker
};

namespace {

constexpr uint32_t FILELOCK_TOKEN_SIGNATURE = 0x4b434c46;  // "FLCK"
constexpr const char *FILELOCK_SUFFIX = ".lck";
// An entry directory older than this (in scanner ages) is abandoned.
constexpr uint32_t FILELOCK_ENTRY_MAX_AGE = 8000;
constexpr uint32_t FILELOCK_SCAN_PAUSE_MS = 200;
// A directory listing that failed ends the scan with this code.
constexpr int FILELOCK_SCAN_LIST_FAILED = 33;

// The member path of a token for a lock granted without a member file.
char fileLockImplicitMarker[] = "implicit lock";

typedef int FileLockCallback(const std::string &dirName, const char *fileName,
                             LockMember *member, LockMember *myValues);

}  // namespace

std::string
FileLockJoin(const std::string &dir, const char *name)
{
   return dir + DIRSEPS + name;
}

namespace {


// djb2 of the lower-cased path, as text.
std::string
FileLockLocationChecksum(const std::string &path)
{
   uint32_t hash = 5381;
   for (char c : path) {
      if (c >= 'A' && c <= 'Z') {
         c = (char)(c - 'A' + 'a');
      }
      hash = hash * 33 + (uint32_t)(int32_t)(signed char)c;
   }
   return std::to_string(hash);
}


bool
FileLockValidName(const char *name)
{
   if (name[0] != 'M' && name[0] != 'D' && name[0] != 'E') {
      return false;
   }
   for (int i = 1; i < 6; i++) {
      if (name[i] < '0' || name[i] > '9') {
         return false;
      }
   }
   size_t len = std::strlen(name);
   return len >= 10 && std::strcmp(name + len - 4, FILELOCK_SUFFIX) == 0;
}

int
FileLockRemoveLockingFile(const std::string &lockDir, const char *fileName)
{
   std::string path = FileLockJoin(lockDir, fileName);
   int err = FileDeletionRetry(path.c_str(), false, FILELOCK_BUDGET_MS);
   if (err == ENOENT) {
      return 0;
   }
   if (err != 0) {
      LogHook_Warning("FILE: %s of '%s' failed: %s\n", "FileLockRemoveLockingFile", path.c_str(),
                      FileErrnoText(err));
   }
   return err;
}


/*
 * Whether a D name is a directory (or has gone: the scan then skips it
 * as an entry that has finished). Links are not followed.
 */
bool
FileLockIsEntryDirectory(const std::string &lockDir, const char *name)
{
   FilePlatFileType type;
   UtilSavedError keep;
   return !FilePlat_GetFileType(FileLockJoin(lockDir, name).c_str(), &type) ||
          type == FILEPLAT_TYPE_DIRECTORY;
}

/*
 * The first pass of a scan: removes names that are no entries of the
 * protocol, notes entry directories in progress (when tracking), and
 * marks in skip the names that take no further part.
 */
int
FileLockSortNames(const std::string &lockDir, char *const *names, int count,
                  LockMember *myValues, bool trackEntries, std::vector<bool> *skip)
{
   for (int i = 0; i < count; i++) {
      const char *name = names[i];
      if (!FileLockValidName(name)) {
         LogHook_Log("FILE: %s discarding %s from %s'; invalid file name.\n",
                     "FileLockScanDirectory",
                     name, lockDir.c_str());
         int err = FileLockRemoveLockingFile(lockDir, name);
         if (err != 0) {
            return err;
         }
         (*skip)[(size_t)i] = true;
      } else if (name[0] == 'D' && !FileLockIsEntryDirectory(lockDir, name)) {
         // Only mkdir makes entries: this one can neither finish nor be
         // removed as an entry, and would hold every scan.
         LogHook_Log("FILE: %s discarding %s from %s'; not an entry directory.\n",
                     "FileLockScanDirectory", name, lockDir.c_str());
         int err = FileLockRemoveLockingFile(lockDir, name);
         if (err != 0) {
            return err;
         }
         (*skip)[(size_t)i] = true;
      } else if (name[0] == 'D') {
         if (trackEntries) {
            bool found = false;
            for (ActiveNode &node : myValues->activeList) {
               if (node.dirName == name) {
                  node.marked = true;
                  found = true;
                  break;
               }
            }
            if (!found) {
               myValues->activeList.push_back(ActiveNode{0, true, name});
            }
         }
         (*skip)[(size_t)i] = true;
      }
   }
   return 0;
}

/*
 * One pass over the lock directory. Entry directories are noted in the
 * own request's active list (when tracking); while any is present the
 * members are not examined. Otherwise every member is read, stale ones of
 * this machine are removed, and the callback judges the rest.
 */
int
FileLockScanDirectory(const std::string &lockDir, FileLockCallback *callback,
                      LockMember *myValues, bool trackEntries)
{
   char **listed = nullptr;
   int count = FileListDirectoryRetry(lockDir.c_str(), FILELOCK_BUDGET_MS, &listed);
   if (count < 0) {
      LogHook_Log("FILE: %s: Could not read the directory '%s': %d\n", "FileLockScanDirectory",
                  lockDir.c_str(), FilePlat_LastError());
      return FILELOCK_SCAN_LIST_FAILED;
   }
   UtilNameList names(listed, count);

   std::vector<bool> skip((size_t)count, false);
   int err = FileLockSortNames(lockDir, names.begin(), count, myValues, trackEntries, &skip);
   if (err != 0) {
      return err;
   }
   if (!myValues->activeList.empty()) {
      return 0;
   }

   std::string execId = FileLockExecId();
   std::string checksum = FileLockLocationChecksum(lockDir);
   for (int i = 0; i < count; i++) {
      const char *name = names[i];
      if (skip[(size_t)i] || name[0] == 'E') {
         continue;
      }
      if (std::strcmp(name, myValues->memberName) == 0) {
         err = callback(lockDir, name, myValues, myValues);
         if (err != 0) {
            return err;
         }
         continue;
      }
      char buffer[FILELOCK_RECORD_SIZE + 1];
      LockMember member{};
      err = FileLockMemberValues(lockDir, name, buffer, &member);
      if (err == ENOENT) {
         continue;
      }
      if (err != 0) {
         return err;
      }
      if (FileLockSameHost(myValues->machineID, member.machineID)) {
         const char *reason = nullptr;
         if (!FileLockValidExecId(member.executionID)) {
            reason = "invalid executionID.";
         } else if (execId == member.executionID && member.locationChecksum != nullptr &&
                    checksum != member.locationChecksum) {
            reason = "lock file has been moved.";
         }
         if (reason != nullptr) {
            LogHook_Log("FILE: %s discarding %s from %s': %s\n", "FileLockScanDirectory", name,
                        lockDir.c_str(), reason);
            err = FileLockRemoveLockingFile(lockDir, name);
            if (err != 0) {
               return err;
            }
            continue;
         }
      }
      err = callback(lockDir, name, &member, myValues);
      if (err != 0) {
         return err;
      }
   }
   return 0;
}

/*
 * Removes an abandoned entry directory together with the member and
 * entry files of its number. Returns 0, or the code of the directory's
 * removal: an entry that cannot be removed would otherwise be found
 * again, as new, by every later scan.
 */
int
FileLockDiscardEntry(const std::string &lockDir, const std::string &dirName)
{
   LogHook_Log("FILE: %s discarding %s data from '%s'.\n", "FileLockScanner", dirName.c_str(),
               lockDir.c_str());
   std::string name = dirName;
   size_t d = name.rfind('D');
   name[d] = 'M';
   FileLockRemoveLockingFile(lockDir, name.c_str());
   name[d] = 'E';
   FileLockRemoveLockingFile(lockDir, name.c_str());
   std::string path = FileLockJoin(lockDir, dirName.c_str());
   int err = FileRemoveDirectoryRetry(path.c_str(), FILELOCK_BUDGET_MS);
   if (err != 0 && err != ENOENT) {
      LogHook_Warning("FILE: %s removal of '%s' failed: %s\n", "FileLockScanner", path.c_str(),
                      FileErrnoText(err));
      return err;
   }
   return 0;
}

/*
 * Ages the entries seen in the last scan and discards those past
 * FILELOCK_ENTRY_MAX_AGE; entries no longer seen are dropped.
 */
int
FileLockAgeEntries(const std::string &lockDir, LockMember *myValues)
{
   std::vector<ActiveNode> kept;
   for (ActiveNode &node : myValues->activeList) {
      if (!node.marked) {
         continue;  // its entry directory has gone
      }
      if (node.age <= FILELOCK_ENTRY_MAX_AGE) {
         node.marked = false;
         node.age += FILELOCK_SCAN_PAUSE_MS;
         kept.push_back(node);
         continue;
      }
      int err = FileLockDiscardEntry(lockDir, node.dirName);
      if (err != 0) {
         return err;
      }
   }
   myValues->activeList = std::move(kept);
   return 0;
}

// Whether the request has waited all its budget (as FileLockWaitStep judges).
bool
FileLockBudgetSpent(const LockMember *myValues)
{
   uint32_t max = myValues->msecMaxWaitTime;
   return max == 0 || (max != FILELOCK_WAIT_FOREVER && myValues->waitTime > max);
}

/*
 * The budget ran out while entries were in progress. An entry that holds
 * files is no locker's (lockers only make and remove it): the request
 * fails with ENOTEMPTY rather than time out. An empty one made long
 * before the own member file (both stamped by the file system's clock)
 * is abandoned and discarded, as it would have been had the budget
 * allowed the scans to age it. Returns 0 when one was discarded (scan
 * again), else EAGAIN or an error.
 */
int
FileLockJudgeEntries(const std::string &lockDir, LockMember *myValues)
{
   FileAttrs mine;
   std::string own = FileLockJoin(lockDir, myValues->memberName);
   bool haveOwn = FileAttributesRetry(own.c_str(), 0, &mine) == 0;
   std::vector<ActiveNode> kept;
   for (const ActiveNode &node : myValues->activeList) {
      std::string path = FileLockJoin(lockDir, node.dirName.c_str());
      char **listed = nullptr;
      int count = FileListDirectoryRetry(path.c_str(), 0, &listed);
      UtilNameList names(listed, count);  // only their number matters
      if (count > 0) {
         LogHook_Warning("FILE: %s '%s' is not an entry in progress: it holds files.\n",
                         "FileLockScanner", path.c_str());
         FilePlat_SetLastError(ENOTEMPTY);
         return ENOTEMPTY;
      }
      FileAttrs attrs;
      if (count == 0 && haveOwn && FileAttributesRetry(path.c_str(), 0, &attrs) == 0 &&
          attrs.writeTime + FILELOCK_ENTRY_MAX_AGE / 1000 * FILEPLAT_TIME_UNITS_PER_SEC <
             mine.writeTime) {
         int err = FileLockDiscardEntry(lockDir, node.dirName);
         if (err != 0) {
            return err;
         }
      } else {
         kept.push_back(node);
      }
   }
   bool discarded = kept.size() < myValues->activeList.size();
   myValues->activeList = std::move(kept);
   return discarded ? 0 : EAGAIN;
}

/*
 * Scans until no entry directory is in progress; entries that stay in
 * place past FILELOCK_ENTRY_MAX_AGE are abandoned and removed together
 * with the entry and member files of their number. The pauses count
 * against the request's wait budget like any other wait.
 */
int
FileLockScanner(const std::string &lockDir, FileLockCallback *callback,
                LockMember *myValues, bool trackEntries)
{
   myValues->activeList.clear();
   int err;
   for (;;) {
      err = FileLockScanDirectory(lockDir, callback, myValues, trackEntries);
      if (err > 0 || (err == 0 && myValues->activeList.empty())) {
         break;
      }
      err = FileLockAgeEntries(lockDir, myValues);
      if (err != 0) {
         break;
      }
      if (FileLockBudgetSpent(myValues)) {
         err = FileLockJudgeEntries(lockDir, myValues);
         if (err != 0) {
            break;
         }
         continue;
      }
      myValues->waitTime += FILELOCK_SCAN_PAUSE_MS;
      FileRandomSleep(FILELOCK_SCAN_PAUSE_MS, FILELOCK_SCAN_PAUSE_MS);
   }
   myValues->activeList.clear();
   return err;
}

int
FileLockNumberScan(const std::string &, const char *, LockMember *member,
                   LockMember *myValues)
{
   if (member->lamportNumber > myValues->lamportNumber) {
      myValues->lamportNumber = member->lamportNumber;
   }
   return 0;
}

/*
 * One pause of a waiter: 100 ms for the first 21 pauses on a member, then
 * 200 ms growing by 100 ms up to 2000 ms. Returns EAGAIN once the budget
 * has been passed.
 */
int
FileLockWaitStep(LockMember *myValues, uint32_t *loopCount)
{
   if (FileLockBudgetSpent(myValues)) {
      return EAGAIN;
   }
   uint32_t ms;
   if (*loopCount <= 20) {
      ms = 100;
   } else if (*loopCount < 40) {
      ms = (*loopCount - 19) * 100;
   } else {
      ms = 2000;
   }
   if (*loopCount < 40) {
      (*loopCount)++;
   }
   myValues->waitTime += ms;
   while (ms > 0) {
      uint32_t piece = ms > 900 ? 900 : ms;
      FileRandomSleep(piece, piece);
      ms -= piece;
   }
   return 0;
}

/*
 * Whether the member file still holds the record that was read for
 * member. Numbers are drawn at random, so a member that leaves may be
 * followed at once by a new locker that drew the same number; that one
 * entered after the waiter's own member file existed and is therefore
 * behind it. A waiter that only watched the name would wait for it for
 * ever while it waits for the waiter. False with *err 0 when the member
 * has left, or with the code of a read failure.
 */
bool
FileLockSameMember(const std::string &lockDir, const char *fileName, const LockMember *member,
                   int *err)
{
   char buffer[FILELOCK_RECORD_SIZE + 1];
   LockMember now{};
   *err = FileLockMemberValues(lockDir, fileName, buffer, &now);
   if (*err != 0) {
      if (*err == ENOENT) {
         *err = 0;
      }
      return false;
   }
   return now.lamportNumber == member->lamportNumber &&
          std::strcmp(now.executionID, member->executionID) == 0 &&
          std::strcmp(now.machineID, member->machineID) == 0 &&
          std::strcmp(now.lockType, member->lockType) == 0;
}

int
FileLockWaitForPossession(const std::string &lockDir, const char *fileName,
                          LockMember *member, LockMember *myValues)
{
   if (member->lamportNumber > myValues->lamportNumber ||
       (member->lamportNumber == myValues->lamportNumber &&
        std::strcmp(member->memberName, myValues->memberName) >= 0)) {
      return 0;
   }
   if (!myValues->exclusivity && std::strcmp(member->lockType, "X") != 0) {
      return 0;
   }
   bool thisMachine = FileLockSameHost(myValues->machineID, member->machineID);
   std::string path = FileLockJoin(lockDir, fileName);
   uint32_t loopCount = 0;
   int err;
   for (;;) {
      err = FileLockWaitStep(myValues, &loopCount);
      if (err == EAGAIN) {
         break;
      }
      err = FileAttributesRetry(path.c_str(), FILELOCK_BUDGET_MS, nullptr);
      if (err != 0) {
         if (err == ENOENT) {
            err = 0;  // it has left
         }
         break;
      }
      if (!FileLockSameMember(lockDir, fileName, member, &err)) {
         break;  // it has left, or its file cannot be read (err)
      }
      if (thisMachine && !FileLockValidExecId(member->executionID)) {
         LogHook_Warning("FILE: %s discarding file '%s'; invalid executionID.\n",
                         "FileLockWaitForPossession", path.c_str());
         err = FileLockRemoveLockingFile(lockDir, fileName);
         break;
      }
   }
   if (err == EAGAIN && myValues->msecMaxWaitTime != 0) {
      if (thisMachine) {
         LogHook_Log("FILE: %s timeout on '%s' due to a local process '%s'\n",
                     "FileLockWaitForPossession", path.c_str(), member->executionID);
      } else {
         LogHook_Log("FILE: %s timeout on '%s' due to another machine '%s'\n",
                     "FileLockWaitForPossession", path.c_str(), member->machineID);
      }
   }
   return err;
}

/*
 * Gives a lock directory just made the mode 0777 that the creation asked
 * for and the umask cut: every user who may lock the path must be able
 * to enter it. Opened without following a link, in case the name was
 * replaced meanwhile; failures leave it as the umask made it.
 */
void
FileLockOpenToAll(const std::string &lockDir)
{
   UtilSavedError keep;
   char *rawParent = nullptr;
   char *rawBase = nullptr;
   File_DirAndBase(lockDir.c_str(), &rawParent, &rawBase);
   UtilCString parentName(rawParent);
   UtilCString baseName(rawBase);
   FileLockDirHandle parent = FileLockOpenDir(parentName.get());
   if (parent) {
      FilePlatOwnedHandle dir(FilePlat_OpenSubdir(parent.Get(), baseName.get(), false, 0));
      if (dir) {
         FilePlat_SetMode(dir.Get(), 0777);
      }
   }
}

// FileLockEnsureLockDir's answer when the lock directory vanished meanwhile.
constexpr int FILELOCK_DIR_GONE = -1;

/*
 * Makes the lock directory when it is missing and checks that it is one.
 * 0, FILELOCK_DIR_GONE (removed by its last user meanwhile: look again),
 * or an errno-style code, logged.
 */
int
FileLockEnsureLockDir(const std::string &lockDir)
{
   int err = FileAttributesRetry(lockDir.c_str(), FILELOCK_BUDGET_MS, nullptr);
   if (err != 0 && err != ENOENT) {
      LogHook_Warning("FILE: %s stat failure on '%s': %s\n", "FileLockCreateEntryDirectory",
                      lockDir.c_str(), FileErrnoText(err));
      return err;
   }
   if (err == ENOENT) {
      // One attempt: a directory we may not write, or a read-only
      // medium, does not change while we wait, and shared requests are
      // then granted at once.
      err = FileCreateDirectoryRetry(lockDir.c_str(), 0777, 0);
      if (err != 0 && err != EEXIST) {
         LogHook_Warning("FILE: %s creation failure on '%s': %s\n",
                         "FileLockCreateEntryDirectory", lockDir.c_str(), FileErrnoText(err));
         return err;
      }
      if (err == 0) {
         FileLockOpenToAll(lockDir);
      }
   }

   // The name itself, not what a link might lead to: the scan deletes
   // whatever it does not recognise in the lock directory.
   FilePlatFileType type;
   if (!FilePlat_GetFileType(lockDir.c_str(), &type)) {
      err = FileMapPlatformError("FileLockCreateEntryDirectory", FilePlat_LastError());
      if (err == ENOENT) {
         return FILELOCK_DIR_GONE;
      }
      LogHook_Warning("FILE: %s stat failure on '%s': %s\n", "FileLockCreateEntryDirectory",
                      lockDir.c_str(), FileErrnoText(err));
      return err;
   }
   if (type == FILEPLAT_TYPE_REGULAR) {
      LogHook_Log("FILE: %s: '%s' exists; an old style lock file?\n",
                  "FileLockCreateEntryDirectory",
                  lockDir.c_str());
      return EBUSY;
   }
   if (type != FILEPLAT_TYPE_DIRECTORY) {
      LogHook_Warning("FILE: %s '%s' is not a directory.\n", "FileLockCreateEntryDirectory",
                      lockDir.c_str());
      return ENOTDIR;
   }
   return 0;
}

/*
 * Claims a free number n by creating the entry directory Dn in the lock
 * directory (made when missing). Fills the full paths of Dn, En and Mn
 * and the member name.
 */
int
FileLockCreateEntryDirectory(const std::string &lockDir, std::string *entryDir,
                             std::string *entryFile, std::string *memberFile,
                             char *memberName, size_t memberNameSize)
{
   bool refusedOnce = false;
   for (;;) {
      int err = FileLockEnsureLockDir(lockDir);
      if (err == FILELOCK_DIR_GONE) {
         continue;
      }
      if (err != 0) {
         return err;
      }

      unsigned n = (FileSimpleRandom() >> 8) & 0xFFFF;
      char entryName[16];
      char fileName[16];
      std::snprintf(memberName, memberNameSize, "M%05u%s", n, FILELOCK_SUFFIX);
      std::snprintf(entryName, sizeof entryName, "D%05u%s", n, FILELOCK_SUFFIX);
      std::snprintf(fileName, sizeof fileName, "E%05u%s", n, FILELOCK_SUFFIX);
      *entryDir = FileLockJoin(lockDir, entryName);
      *entryFile = FileLockJoin(lockDir, fileName);
      *memberFile = FileLockJoin(lockDir, memberName);

      // One attempt, as for the lock directory: one left by another user,
      // which we may not write, or a read-only medium, does not change
      // while we wait.
      err = FileCreateDirectoryRetry(entryDir->c_str(), 0777, 0);
      if (err == 0) {
         if (FileAttributesRetry(memberFile->c_str(), FILELOCK_BUDGET_MS, nullptr) == ENOENT) {
            return 0;
         }
         FileRemoveDirectoryRetry(entryDir->c_str(), FILELOCK_BUDGET_MS);
         continue;  // that number is held
      }
      if (err == ENOENT || err == EEXIST) {
         continue;
      }
      if (err == EACCES && !refusedOnce) {
         // On Windows a name still being deleted refuses access too: one
         // more number, after a fresh look at the lock directory, tells.
         refusedOnce = true;
         continue;
      }
      LogHook_Warning("FILE: %s creation failure on '%s': %s\n", "FileLockCreateEntryDirectory",
                      entryDir->c_str(), FileErrnoText(err));
      return err;
   }
}


FileLockToken *
FileLockNewToken(const char *path, const char *memberFile)
{
   FileLockToken *token = new FileLockToken;
   token->signature = FILELOCK_TOKEN_SIGNATURE;
   token->portable = true;
   token->pathName = Util_SafeStrdup(path);
   token->lockFilePath = memberFile == fileLockImplicitMarker ? fileLockImplicitMarker
                                                              : Util_SafeStrdup(memberFile);
   return token;
}

FileLockToken *
FileLockIntrinsicPortable(const std::string &lockDir, LockMember *myValues,
                          const char *path, int *err)
{
   std::string entryDir, entryFile, memberFile;
   char memberName[16];
   *err = FileLockCreateEntryDirectory(lockDir, &entryDir, &entryFile, &memberFile,
                                       memberName, sizeof memberName);
   if (*err != 0) {
      if ((*err == EACCES || *err == EROFS) && !myValues->exclusivity) {
         LogHook_Warning("FILE: %s implicit %s lock succeeded on '%s'.\n",
                         "FileLockIntrinsicPortable",
                         "S", path);
         *err = 0;
         return FileLockNewToken(path, fileLockImplicitMarker);
      }
      return nullptr;
   }
   myValues->memberName = memberName;

   FileIOFile entry;
   FileIO_InitFile(&entry);
   FileIOStatus status =
      FileIOCreateRetry(&entry, entryFile.c_str(), FILEIO_ACCESS_WRITE | FILEIO_SHARE_DELETE,
                        FILEIO_ACTION_CREATE_NEW, 0644, FILELOCK_BUDGET_MS);
   if (status != FILEIO_SUCCESS) {
      *err = FileMapPlatformError("FileLockIntrinsicPortable", FilePlat_LastError());
      UtilSavedError keep;
      FileRemoveDirectoryRetry(entryDir.c_str(), FILELOCK_BUDGET_MS);
      FileRemoveDirectoryRetry(lockDir.c_str(), FILELOCK_BUDGET_MS);
      return nullptr;
   }
   // Other users read the record: the umask must not take that away.
   {
      UtilSavedError keep;
      FileIO_SetMode(&entry, 0644);
   }

   *err = FileLockScanner(lockDir, FileLockNumberScan, myValues, false);
   if (*err == 0 && myValues->lamportNumber == UINT32_MAX) {
      // One more would wrap to 0 and jump the queue.
      *err = EOVERFLOW;
   }
   if (*err != 0) {
      UtilSavedError keep;
      FileIO_CloseFile(&entry);
      FileDeletionRetry(entryFile.c_str(), false, FILELOCK_BUDGET_MS);
      FileRemoveDirectoryRetry(entryDir.c_str(), FILELOCK_BUDGET_MS);
      FileRemoveDirectoryRetry(lockDir.c_str(), FILELOCK_BUDGET_MS);
      return nullptr;
   }
   myValues->lamportNumber++;

   *err = FileLockCreateMemberFile(&entry, myValues, entryFile, memberFile);
   {
      UtilSavedError keep;
      FileRemoveDirectoryRetry(entryDir.c_str(), FILELOCK_BUDGET_MS);
   }
   if (*err != 0) {
      UtilSavedError keep;
      FileDeletionRetry(entryFile.c_str(), false, FILELOCK_BUDGET_MS);
      FileDeletionRetry(memberFile.c_str(), false, FILELOCK_BUDGET_MS);
      FileRemoveDirectoryRetry(lockDir.c_str(), FILELOCK_BUDGET_MS);
      return nullptr;
   }

   *err = FileLockScanner(lockDir, FileLockWaitForPossession, myValues, true);
   if (*err != 0) {
      // Whatever ended the wait, a member file left behind by a live
      // process would hold everybody else back.
      UtilSavedError keep;
      FileDeletionRetry(memberFile.c_str(), false, FILELOCK_BUDGET_MS);
      FileRemoveDirectoryRetry(lockDir.c_str(), FILELOCK_BUDGET_MS);
      if (*err == EAGAIN) {
         *err = 0;
      }
      return nullptr;
   }
   return FileLockNewToken(path, memberFile.c_str());
}

FileLockToken *
FileLockAcquireIntrinsic(const char *path, bool exclusive, uint32_t msecMaxWait, int *err)
{
   std::string lockDir = std::string(path) + FILELOCK_SUFFIX;
   std::string execId = FileLockExecId();
   std::string checksum = FileLockLocationChecksum(lockDir);
   LockMember myValues{};
   myValues.lockType = exclusive ? "X" : "S";
   myValues.exclusivity = exclusive;
   myValues.waitTime = 0;
   myValues.msecMaxWaitTime = msecMaxWait;
   myValues.machineID = FileLockHostId();
   myValues.executionID = execId.c_str();
   myValues.lamportNumber = 0;
   myValues.locationChecksum = checksum.c_str();
   myValues.memberName = "";
   // No platform this library runs on has mandatory locks: always the
   // portable protocol.
   return FileLockIntrinsicPortable(lockDir, &myValues, path, err);
}

/*
 * The path the lock is taken on: a device, by the platform's rule
 * (FileLockDeviceName), is locked in the safe temporary directory as "pd"
 * and the rest of its name, since the devices' directory is no place for
 * lock directories; any other path is made absolute.
 */
char *
FileLockNormalizePath(const char *path)
{
   std::string rest;
   if (!FileLockDeviceName(path, &rest)) {
      return File_FullPath(path);
   }
   UtilCString tmpDir(File_GetSafeTmpDir(false));
   if (tmpDir == nullptr) {
      return nullptr;
   }
   std::string mapped = std::string(tmpDir.get()) + DIRSEPS + "pd" + rest;
   return Util_SafeStrdup(mapped.c_str());
}

void
FileLockAppendMessage(MsgList **msgs, int err)
{
   if (msgs == nullptr) {
      return;
   }
   UtilSavedError keep;
   int platErr = FilePlat_LastError();
   MsgList_Append(msgs,
                  MSG_MAGIC "(msg.fileLock.win32)A file locking error (%d [errno %d]) has "
                            "occurred: %s",
                  platErr, err, File_ErrorText(platErr));
}

int
FileLockReleaseIntrinsic(FileLockToken *token)
{
   int err = 0;
   if (token->lockFilePath != fileLockImplicitMarker) {
      err = FileDeletionRetry(token->lockFilePath, false, FILELOCK_BUDGET_MS);
      // The lock directory is the member file's own: the path the caller
      // gave may have been mapped elsewhere (a block device).
      char *lockDir = nullptr;
      File_DirAndBase(token->lockFilePath, &lockDir, nullptr);
      UtilCString owned(lockDir);
      UtilSavedError keep;
      FileRemoveDirectoryRetry(lockDir, FILELOCK_BUDGET_MS);
      std::free(token->lockFilePath);
   }
   std::free(token->pathName);
   token->signature = 0;
   delete token;
   return err;
}

}  // namespace


FileLockToken *
FileLock_Acquire(const char *path, bool readOnly, uint32_t msecMaxWait, int *err,
                 MsgList **msgs)
{
   *err = 0;
   UtilCString normalized(path == nullptr ? nullptr : FileLockNormalizePath(path));
   if (normalized == nullptr) {
      *err = EINVAL;
      FilePlat_SetLastError(FILEPLAT_ERR_INVALID_PARAMETER);
      FileLockAppendMessage(msgs, *err);
      return nullptr;
   }
   FileLockToken *token =
      FileLockAcquireIntrinsic(normalized.get(), !readOnly, msecMaxWait, err);
   if (token == nullptr) {
      int msgErr = *err;
      if (*err == 0) {
         FilePlat_SetLastError(FILEPLAT_ERR_LOCK_VIOLATION);
         msgErr = EAGAIN;
      }
      FileLockAppendMessage(msgs, msgErr);
   }
   return token;
}

bool
FileLock_Release(FileLockToken *token, int *err, MsgList **msgs)
{
   if (token == nullptr || token->signature != FILELOCK_TOKEN_SIGNATURE) {
      PANIC();
   }
   *err = FileLockReleaseIntrinsic(token);
   if (*err != 0) {
      FileLockAppendMessage(msgs, *err);
      return false;
   }
   return true;
}

bool
FileLock_IsImplicit(const FileLockToken *token)
{
   return token != nullptr && token->lockFilePath == fileLockImplicitMarker;
}
