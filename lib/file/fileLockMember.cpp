// The member record of the advisory lock files: its text form, reading a
// member file (never through a link) and writing the own one.
//
// A record is FILELOCK_RECORD_SIZE bytes: blank-separated fields
// "<machine id> <execution id> <ticket> <S|X> <start time> [key=value...]",
// padded with NULs. An older form has a bare process id as the execution
// id; it is read as "<pid>-<start time>".
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/file/file.h"
#include "lib/file/fileIO.h"
#include "lib/file/fileInt.h"
#include "lib/file/fileLockInt.h"
#include "lib/file/filePlatform.h"
#include "lib/misc/logHook.h"

namespace {

constexpr int FILELOCK_MAX_FIELDS = 16;

bool
FileLockParseKeyValue(const char *field)
{
   const char *eq = std::strchr(field, '=');
   return eq != nullptr && eq != field && eq[1] != '\0';
}

/*
 * Splits a NUL-terminated record at single blanks. Returns the number of
 * fields, or -1 when there are more than FILELOCK_MAX_FIELDS or a field is
 * empty (two blanks in a row, a blank at either end).
 */
int
FileLockSplit(char *text, char *argv[FILELOCK_MAX_FIELDS])
{
   int argc = 0;
   char *at = text;
   for (;;) {
      if (argc == FILELOCK_MAX_FIELDS) {
         return -1;
      }
      char *blank = std::strchr(at, ' ');
      argv[argc++] = at;
      if (blank == nullptr) {
         break;
      }
      *blank = '\0';
      at = blank + 1;
   }
   for (int i = 0; i < argc; i++) {
      if (argv[i][0] == '\0') {
         return -1;
      }
   }
   return argc;
}

/*
 * Parses a member record (FILELOCK_RECORD_SIZE bytes in buffer, and room for
 * a NUL after them) in place: argv and *argc receive its fields, for the
 * report of a malformed one. True when it is well formed, with member
 * filled from it (all but memberName).
 */
bool
FileLockParseRecord(char *buffer, char *argv[FILELOCK_MAX_FIELDS], int *argc,
                    LockMember *member)
{
   bool problem = false;
   *argc = 0;
   for (int pass = 0; !problem && pass < 2; pass++) {
      // The text ends at its first NUL (the caller put one after the
      // record); what follows it is padding, whatever it holds.
      if (buffer[0] == '\0') {
         problem = true;
         break;
      }
      *argc = FileLockSplit(buffer, argv);
      if (*argc < 5) {
         problem = true;
         *argc = *argc < 0 ? 0 : *argc;
         break;
      }
      for (int i = 5; i < *argc; i++) {
         if (!FileLockParseKeyValue(argv[i])) {
            problem = true;
         }
      }
      if (problem) {
         break;
      }
      if (pass == 0 && *argc == 6 && std::strpbrk(argv[1], "-()") == nullptr) {
         // The older form: a bare process id, the start time only in the
         // fifth field. Read it as "<pid>-<start time>".
         char rewritten[FILELOCK_RECORD_SIZE + 1] = {};
         int n = std::snprintf(rewritten, sizeof rewritten, "%s %s-%s %s %s %s %s", argv[0],
                               argv[1], argv[4], argv[2], argv[3], argv[4], argv[5]);
         if (n < 0 || (size_t)n > FILELOCK_RECORD_SIZE) {
            problem = true;
            break;
         }
         std::memcpy(buffer, rewritten, sizeof rewritten);
         continue;
      }
      break;
   }

   if (!problem) {
      // The ticket is read as every writer of these records reads it,
      // with "%u": a sign or trailing text does not make it malformed.
      unsigned number = 0;
      bool numberOk = std::sscanf(argv[2], "%u", &number) == 1;
      bool typeOk = std::strcmp(argv[3], "S") == 0 || std::strcmp(argv[3], "X") == 0;
      if (numberOk && typeOk) {
         member->machineID = argv[0];
         member->executionID = argv[1];
         member->lamportNumber = number;
         member->lockType = argv[3];
         member->locationChecksum = nullptr;
         for (int i = 5; i < *argc; i++) {
            if (std::strncmp(argv[i], "lc=", 3) == 0) {
               member->locationChecksum = argv[i] + 3;
               break;
            }
         }
         return true;
      }
   }
   return false;
}


/*
 * Deletes a member file that is no record (malformed, wrongly sized, a
 * link), with a dump of the fields read from it. Returns 2 when it was
 * deleted, so that the scan skips it, or the deletion's code.
 */
int
FileLockRemoveProblematic(const std::string &path, const char *fileName, char *const *argv,
                          int argc)
{
   LogHook_Warning("FILE: %s removing problematic lock file '%s'\n", "FileLockMemberValues",
                   path.c_str());
   if (argc > 0) {
      LogHook_Log("FILE: %s '%s' contents are:\n", "FileLockMemberValues", fileName);
      for (int i = 0; i < argc; i++) {
         LogHook_Log("FILE: %s %s argv[%u]: '%s'\n", "FileLockMemberValues", fileName, (unsigned)i,
                     argv[i]);
      }
   }
   int err = FileDeletionRetry(path.c_str(), false, FILELOCK_BUDGET_MS);
   return err == 0 ? ENOENT : err;
}

/*
 * Opens a member file for reading without following a symbolic link.
 * Returns 0 with desc open; *isLink when the name is a link (a problem of
 * the record, not of the scan); else the errno-style code, with the
 * platform's last error set, for a name that cannot be read.
 */
int
FileLockOpenMember(const std::string &lockDir, const char *fileName, const std::string &path,
                   FileIOFile *desc, bool *isLink)
{
   *isLink = false;
   FilePlatFileType type;
   if (!FilePlat_GetFileType(path.c_str(), &type)) {
      return FileMapPlatformError("FileLockMemberValues", FilePlat_LastError());
   }
   if (type == FILEPLAT_TYPE_LINK) {
      *isLink = true;
      return 0;
   }
   if (type == FILEPLAT_TYPE_DIRECTORY) {
      // A directory cannot be opened as a file: access is denied.
      return FileMapPlatformError("FileLockMemberValues", FILEPLAT_ERR_ACCESS_DENIED);
   }
   FileLockDirHandle dir = FileLockOpenDir(lockDir);
   if (!dir) {
      return FileMapPlatformError("FileLockMemberValues", FilePlat_LastError());
   }
   FileIOStatus status =
      FileIO_OpenAtMode(desc, dir.Get(), fileName, path.c_str(),
                        FILEIO_ACCESS_READ | FILEIO_SHARE_DELETE, FILEIO_ACTION_OPEN, 0444);
   if (status == FILEIO_SUCCESS) {
      return 0;
   }
   int err = FilePlat_LastError();
   if (err == FILEPLAT_ERR_IS_LINK) {
      *isLink = true;  // it became a link after the look above
      return 0;
   }
   return FileMapPlatformError("FileLockMemberValues", err);
}

}  // namespace

FileLockDirHandle
FileLockOpenDir(const std::string &dir)
{
   return FileLockDirHandle(FilePlat_OpenDirHandle(dir.c_str()));
}

int
FileLockMemberValues(const std::string &lockDir, const char *fileName, char *buffer,
                     LockMember *member)
{
   std::string path = FileLockJoin(lockDir, fileName);
   FileIOFile desc;
   FileIO_InitFile(&desc);
   bool isLink = false;
   int openErr = FileLockOpenMember(lockDir, fileName, path, &desc, &isLink);
   if (openErr != 0) {
      if (openErr != ENOENT) {
         LogHook_Warning("FILE: %s open failure on '%s': %s\n", "FileLockMemberValues",
                         path.c_str(), FileErrnoText(openErr));
      }
      return openErr;
   }
   if (isLink) {
      // Never read through it: it may lead anywhere.
      return FileLockRemoveProblematic(path, fileName, nullptr, 0);
   }

   char *argv[FILELOCK_MAX_FIELDS];
   int argc = 0;
   bool problem = false;
   FileAttrs attrs;
   int err = FileAttributesRetry(path.c_str(), FILELOCK_BUDGET_MS, &attrs);
   if (err != 0) {
      FileIO_CloseFile(&desc);
      if (err != ENOENT) {
         LogHook_Warning("FILE: %s file size failure on '%s': %s\n", "FileLockMemberValues",
                         path.c_str(), FileErrnoText(err));
      }
      return err;
   }
   if (attrs.size != FILELOCK_RECORD_SIZE) {
      LogHook_Warning("FILE: %s file '%s': size %" PRIu64 ", required size %zd\n",
                      "FileLockMemberValues", path.c_str(), attrs.size,
                      (ssize_t)FILELOCK_RECORD_SIZE);
      FileIO_CloseFile(&desc);
      problem = true;
   } else {
      size_t got = 0;
      FileIOStatus status = FileIO_ReadBytes(&desc, buffer, FILELOCK_RECORD_SIZE, &got);
      int readErr = FilePlat_LastError();
      FileIO_CloseFile(&desc);
      if (status != FILEIO_SUCCESS && status != FILEIO_EOF) {
         err = FileMapPlatformError("FileLockMemberValues", readErr);
         LogHook_Warning("FILE: %s read failure on '%s': %s\n", "FileLockMemberValues",
                         path.c_str(), FileErrnoText(err));
         return err;
      }
      if (got != FILELOCK_RECORD_SIZE) {
         LogHook_Warning("FILE: %s read length issue on '%s': %zd and %zd\n",
                         "FileLockMemberValues",
                         path.c_str(), (ssize_t)got, (ssize_t)FILELOCK_RECORD_SIZE);
         return EIO;
      }
      buffer[FILELOCK_RECORD_SIZE] = '\0';
   }

   if (!problem) {
      problem = !FileLockParseRecord(buffer, argv, &argc, member);
   }
   if (!problem) {
      member->memberName = fileName;
      return 0;
   }

   return FileLockRemoveProblematic(path, fileName, argv, argc);
}

int
FileLockCreateMemberFile(FileIOFile *entry, const LockMember *myValues,
                         const std::string &entryFile, const std::string &memberFile)
{
   char buffer[FILELOCK_RECORD_SIZE] = {};
   int pid = 0;
   unsigned long long start = 0;
   std::sscanf(myValues->executionID, "%d-%llu", &pid, &start);
   std::snprintf(buffer, sizeof buffer, "%s %s %u %s %llu lc=%s", myValues->machineID,
                 myValues->executionID, myValues->lamportNumber, myValues->lockType, start,
                 myValues->locationChecksum);

   size_t written = 0;
   FileIOStatus status = FileIO_WriteBytes(entry, buffer, sizeof buffer, &written);
   if (status != FILEIO_SUCCESS) {
      int err = FileMapPlatformError("FileLockCreateMemberFile", FilePlat_LastError());
      LogHook_Warning("FILE: %s write of '%s' failed: %s\n", "FileLockCreateMemberFile",
                      entryFile.c_str(), FileErrnoText(err));
      FileIO_CloseFile(entry);
      return err;
   }
   if (FileIO_CloseFile(entry)) {
      int err = FileMapPlatformError("FileLockCreateMemberFile", FilePlat_LastError());
      LogHook_Warning("FILE: %s close of '%s' failed: %s\n", "FileLockCreateMemberFile",
                      entryFile.c_str(), FileErrnoText(err));
      return err;
   }
   if (written != sizeof buffer) {
      LogHook_Warning("FILE: %s write length issue on '%s': %zd and %zd\n",
                      "FileLockCreateMemberFile",
                      entryFile.c_str(), (ssize_t)written, (ssize_t)sizeof buffer);
      return EIO;
   }
   int err = File_Rename(entryFile.c_str(), memberFile.c_str());
   if (err != 0) {
      LogHook_Warning("FILE: %s FileRename of '%s' to '%s' failed: %s\n",
                      "FileLockCreateMemberFile",
                      entryFile.c_str(), memberFile.c_str(), FileErrnoText(err));
      return err;
   }
   return 0;
}

bool
FileLockParseMemberRecord(char *record, FileLockRecordFields *fields)
{
   char *argv[FILELOCK_MAX_FIELDS];
   int argc = 0;
   LockMember member{};
   record[FILELOCK_RECORD_SIZE] = '\0';
   if (!FileLockParseRecord(record, argv, &argc, &member)) {
      return false;
   }
   *fields = FileLockRecordFields{member.machineID, member.executionID, member.lockType,
                                  member.locationChecksum, member.lamportNumber};
   return true;
}
