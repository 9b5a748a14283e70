// Putting back the dumps of the resume state; see salvorResumeRestore.h.
#include "collector/operations/salvorResumeRestore.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "collector/operations/salvorJournal.h"
#include "collector/receive/salvorAddress.h"
#include "collector/receive/salvorSealing.h"
#include "collector/receive/salvorSlots.h"
#include "collector/startup/salvorConfig.h"
#include "lib/file/file.h"
#include "lib/file/fileDir.h"
#include "lib/log/log.h"

namespace {

constexpr uint64_t LARGEST_STATE = 64 << 20;

// How the file of a dump named in the state was found.
enum FileFound { FILE_REOPENED, FILE_FINISHED, FILE_UNTRUSTED };

// The entry `name` directly below `dir`, as it is (no link followed).
bool
SalvorFindEntry(FileHandle dir, const char *name, FileDirEntry *found)
{
   std::vector<FileDirEntry> entries;
   if (File_ListDirAt(dir, &entries) != 0) {
      return false;
   }
   for (const FileDirEntry &e : entries) {
      if (std::strcmp(e.name, name) == 0) {
         *found = e;
         return true;
      }
   }
   return false;
}

bool
SalvorSameId(const FileId &a, const FileId &b)
{
   return a.device == b.device && a.inode == b.inode;
}

bool
SalvorIsPlainName(const char *name)
{
   return name[0] != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
          std::strchr(name, '/') == nullptr && std::strchr(name, '\\') == nullptr;
}

// Checks the entry in the host's open directory and opens it for writing.
FileFound
SalvorReopenIn(FileHandle dir, const SalvorResumeDump &d, const std::string &path,
               FileIOFile *fd, char *why, size_t whySize)
{
   FileDirEntry e;
   if (!SalvorFindEntry(dir, d.name, &e)) {
      std::snprintf(why, whySize, "its file is gone");
      return FILE_UNTRUSTED;
   }
   if (!e.isFile) {
      std::snprintf(why, whySize, "its file was replaced by something that is not a file");
      return FILE_UNTRUSTED;
   }
   if (!SalvorSameId(e.id, d.id)) {
      std::snprintf(why, whySize, "its file was replaced (device and inode differ)");
      return FILE_UNTRUSTED;
   }
   if (!e.ownerWritable) {
      return FILE_FINISHED;  // its done came before the stop
   }
   FileIOStatus status = FileIO_OpenAtMode(fd, dir, d.name, path.c_str(), FILEIO_ACCESS_WRITE,
                                           FILEIO_ACTION_OPEN, 0);
   if (status != FILEIO_SUCCESS) {
      std::snprintf(why, whySize, "its file cannot be opened: %s",
                    File_ErrorText(File_LastError()));
      FileIO_InitFile(fd);
      return FILE_UNTRUSTED;
   }
   FileId id;
   uint64_t links = 0;
   if (!FileIO_GetIdentity(fd, &id, &links) || !SalvorSameId(id, d.id) || links == 0) {
      std::snprintf(why, whySize, "its file was replaced while it was opened");
      FileIO_CloseFile(fd);
      return FILE_UNTRUSTED;
   }
   return FILE_REOPENED;
}

// Opens a dump's file again, from the data directory down, no link followed.
FileFound
SalvorReopen(const SalvorResumeDump &d, std::string *path, FileIOFile *fd, char *why,
             size_t whySize)
{
   SalvorHostLevels host(d.host);
   char levels[8 * 6];
   host.Join(DIRSEPS, levels, sizeof levels);
   *path = std::string(SalvorConfig.dataDir) + DIRSEPS + levels + DIRSEPS + d.name;
   if (!SalvorIsPlainName(d.name)) {
      std::snprintf(why, whySize, "its file name is not one of a dump's");
      return FILE_UNTRUSTED;
   }
   FileHandle dir = File_OpenExistingDirTree(SalvorConfig.dataDir, host.levels, host.count);
   if (dir == FILE_INVALID_HANDLE) {
      std::snprintf(why, whySize, "its directory cannot be opened without following a link: %s",
                    File_ErrorText(File_LastError()));
      return FILE_UNTRUSTED;
   }
   FileFound found = SalvorReopenIn(dir, d, *path, fd, why, whySize);
   File_CloseDirHandle(dir);
   return found;
}

uint64_t
SalvorAckedBytes(const SalvorResumeLive &live)
{
   uint64_t bytes = 0;
   for (const SalvorRange &r : live.acked.Ranges()) {
      bytes += r.end - r.start;
   }
   return bytes;
}

void
SalvorResumeLost(const SalvorResumeLive &live, const std::string &path, const char *why)
{
   const SalvorResumeDump &d = live.dump;
   Warning("The dump of %s in slot %d (%s) cannot be resumed: %s.\n",
           SalvorAddrText(d.host).text, d.slot, path.empty() ? d.name : path.c_str(), why);
   SalvorJournalLost(SalvorLostDump{d.slot, d.host, d.timestamp, d.sealed ? d.keyName : nullptr,
                                    path.empty() ? nullptr : path.c_str(), d.startedWallUsec,
                                    SalvorAckedBytes(live), d.resumed, why});
}

// Puts one dump back; true when it is in its slot again.
bool
SalvorRestoreOne(const SalvorResumeLive &live, SalvorResumeLive *into)
{
   const SalvorResumeDump &d = live.dump;
   std::string path;
   FileIOFile fd;
   FileIO_InitFile(&fd);
   char why[256];
   FileFound found = SalvorReopen(d, &path, &fd, why, sizeof why);
   if (found == FILE_FINISHED) {
      Log("The dump of %s in slot %d (%s) had finished before the restart.\n",
          SalvorAddrText(d.host).text, d.slot, path.c_str());
      return false;
   }
   if (found == FILE_REOPENED && d.sealed && !SalvorSealing_HasKey(d.keyId)) {
      std::snprintf(why, sizeof why, "its key %s is no longer in the keys file", d.keyName);
      FileIO_CloseFile(&fd);
      found = FILE_UNTRUSTED;
   }
   char *copy = found == FILE_REOPENED ? SalvorCopyPath(path.c_str()) : nullptr;
   if (found == FILE_REOPENED && copy == nullptr) {
      std::snprintf(why, sizeof why, "out of memory");
      FileIO_CloseFile(&fd);
      found = FILE_UNTRUSTED;
   }
   if (found != FILE_REOPENED) {
      SalvorResumeLost(live, path, why);
      return false;
   }
   *into = live;
   into->dump.resumed = d.resumed + 1;
   SalvorRestoredDump back{d.host,  d.timestamp,      d.sealed,           d.keyId, d.keyName,
                           d.token, d.resumed + 1,    d.startedWallUsec};
   if (!SalvorRestoreSlot(d.slot, &fd, copy, back)) {
      std::free(copy);
      FileIO_CloseFile(&fd);
      into->live = false;
      SalvorResumeLost(live, path, "its slot is taken");
      return false;
   }
   if (live.acked.Unknown()) {
      SalvorJournalRestoreUnknown(d.slot);
   }
   for (const SalvorRange &r : live.acked.Ranges()) {
      SalvorJournalRestoreRange(d.slot, r.start, r.end);
   }
   Log("Resumed the dump of %s in slot %d (%s): %" PRIu64 " bytes received before, %u "
       "restarts.\n", SalvorAddrText(d.host).text, d.slot, path.c_str(), SalvorAckedBytes(live),
       (unsigned)(d.resumed + 1));
   return true;
}

/*
 * Moves what stands at the state file's name out of the way, without
 * following it, so that the operator may look at it.
 */
void
SalvorSetAside(const std::string &path, const char *why)
{
   std::string aside = path + ".damaged";
   if (File_Rename(path.c_str(), aside.c_str()) != 0) {
      Warning("The resume state %s %s, and it cannot be set aside: %s.\n", path.c_str(), why,
              File_ErrorText(File_LastError()));
      File_Remove(path.c_str());  // removes a link itself, never what it names
      return;
   }
   Warning("The resume state %s %s: it is set aside as %s.\n", path.c_str(), why,
           aside.c_str());
}

// The state file's bytes; false when there is none to read (set aside or missing).
bool
SalvorReadState(const std::string &path, std::vector<uint8_t> *bytes)
{
   FileHandle top = File_OpenExistingDirTree(SalvorConfig.dataDir, nullptr, 0);
   FileDirEntry e;
   bool exists = top != FILE_INVALID_HANDLE && SalvorFindEntry(top, SALVOR_RESUME_FILE_NAME, &e);
   if (!exists) {
      File_CloseDirHandle(top);
      return false;
   }
   if (!e.isFile || e.size > LARGEST_STATE) {
      File_CloseDirHandle(top);
      SalvorSetAside(path, !e.isFile ? "is not a regular file (a link?)" : "is too large");
      return false;
   }
   FileIOFile f;
   FileIO_InitFile(&f);
   FileIOStatus status = FileIO_OpenAtMode(&f, top, SALVOR_RESUME_FILE_NAME, path.c_str(),
                                           FILEIO_ACCESS_READ, FILEIO_ACTION_OPEN, 0);
   File_CloseDirHandle(top);
   uint64_t size = 0;
   size_t got = 0;
   if (status == FILEIO_SUCCESS && FileIO_GetSize(&f, &size) == 0 && size <= LARGEST_STATE) {
      bytes->resize((size_t)size);
      status = size == 0 ? FILEIO_SUCCESS : FileIO_ReadBytes(&f, bytes->data(), bytes->size(), &got);
   }
   int err = File_LastError();
   FileIO_CloseFile(&f);
   if (status != FILEIO_SUCCESS || got != bytes->size()) {
      Warning("Cannot read the resume state %s: %s. No dump is resumed.\n", path.c_str(),
              File_ErrorText(err));
      return false;
   }
   return true;
}

}  // namespace

void
SalvorResumeRestoreAll(const std::string &path, SalvorResumeLive *mirror)
{
   std::vector<uint8_t> bytes;
   if (!SalvorReadState(path, &bytes)) {
      return;
   }
   SalvorResumeRead read = SalvorResumeParse(bytes.data(), bytes.size());
   if (read.result == SALVOR_RESUME_READ_DAMAGED) {
      char why[128];
      std::snprintf(why, sizeof why, "is damaged after its first %zu bytes", read.goodBytes);
      SalvorSetAside(path, why);
      for (const SalvorResumeLive &live : read.slots) {
         if (live.live) {
            SalvorResumeLost(live, "", "the resume state is damaged");
         }
      }
      return;
   }
   if (read.result == SALVOR_RESUME_READ_TORN) {
      Warning("The resume state %s ends in a record cut short: its last %zu bytes are "
              "ignored.\n", path.c_str(), bytes.size() - read.goodBytes);
   }
   int resumed = 0;
   for (size_t i = 0; i < read.slots.size(); i++) {
      if (read.slots[i].live) {
         resumed += SalvorRestoreOne(read.slots[i], &mirror[i]);
      }
   }
   Log("%d dumps in progress before the restart are resumed.\n", resumed);
}
