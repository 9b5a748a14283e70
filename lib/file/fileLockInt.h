// Internals of the advisory lock files, shared by the lock protocol
// (fileLock.cpp), the member record (fileLockMember.cpp) and the host and
// process identities (fileLockIdentity.cpp), and used by their tests and
// the fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/file/filePlatform.h"
#include "lib/file/fileTypes.h"

struct FileIOFile;

// The size of every member record on disk: a member file of another size
// is no record.
constexpr size_t FILELOCK_RECORD_SIZE = 512;
// The retry budget of every file operation of the protocol.
constexpr uint32_t FILELOCK_BUDGET_MS = 2000;

// The fields of a well-formed member record; they point into the record.
struct FileLockRecordFields {
   const char *machineID;
   const char *executionID;
   const char *lockType;          // "S" or "X"
   const char *locationChecksum;  // null when the record has none
   uint32_t lamportNumber;
};

/*
 * Parses the FILELOCK_RECORD_SIZE bytes of record (which has room for one
 * more, a NUL) in place, as a member file is read. True when the record is
 * well formed, with *fields filled.
 */
bool FileLockParseMemberRecord(char *record, FileLockRecordFields *fields);

// An entry directory in progress, as the own request's scans see it.
struct ActiveNode {
   uint32_t age;
   bool marked;
   std::string dirName;
};

// A member as its record tells it, or the own request with its state.
struct LockMember {
   const char *machineID;
   const char *executionID;
   const char *lockType;
   const char *locationChecksum;  // null: the record had none
   const char *memberName;
   uint32_t lamportNumber;
   bool exclusivity;
   uint32_t waitTime;
   uint32_t msecMaxWaitTime;
   std::vector<ActiveNode> activeList;  // the own request only
};

std::string FileLockJoin(const std::string &dir, const char *name);

// The lock directory opened, for opening its members relative to it.
using FileLockDirHandle = FilePlatOwnedHandle;
FileLockDirHandle FileLockOpenDir(const std::string &dir);

/*
 * Reads one member file into buffer (FILELOCK_RECORD_SIZE + 1 bytes) and
 * fills member with pointers into it. Returns 0; ENOENT when the file has
 * gone or was removed as malformed (the scan skips it); another code when
 * it could not be read.
 */
int FileLockMemberValues(const std::string &lockDir, const char *fileName, char *buffer,
                         LockMember *member);
/*
 * Writes the own record into the open entry file, closes it and renames
 * it to the member name, so that a member file is complete whenever it is
 * visible.
 */
int FileLockCreateMemberFile(FileIOFile *entry, const LockMember *myValues,
                             const std::string &entryFile, const std::string &memberFile);

// This machine's id, computed once.
const char *FileLockHostId();
// Whether two machine ids name the same machine, whichever form each has.
bool FileLockSameHost(const char *local, const char *other);
// This process's execution id.
std::string FileLockExecId();
/*
 * Whether the execution id may still name a live process on this
 * machine. Ids that cannot be read, and processes whose existence cannot
 * be told, count as live: only certain death frees a lock.
 */
bool FileLockValidExecId(const char *executionID);

/*
 * Whether path names a device that is locked in the safe temporary
 * directory rather than beside itself, by the platform's rule
 * (fileLockPosix.cpp, fileLockWin32.cpp); *rest is then what follows "pd"
 * in the name of its lock.
 */
bool FileLockDeviceName(const char *path, std::string *rest);
