// Internals of the advisory lock files, for their tests and the fuzzer:
// the parser of a member record as read from its file.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t FILELOCK_RECORD_SIZE = 512;

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
