// Fuzzes the parser of a lock member record: the input is the record's
// text, padded with NUL bytes to its 512 bytes as a member file holds it
// (an input longer than a record is cut to one).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lib/file/fileLockInt.h"

namespace {

// A parsed field: not empty, no blank, wholly inside the record.
void
CheckField(const char *record, const char *field)
{
   if (field < record || field >= record + FILELOCK_RECORD_SIZE || field[0] == '\0' ||
       std::strchr(field, ' ') != nullptr) {
      std::abort();
   }
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   char record[FILELOCK_RECORD_SIZE + 1];
   std::memset(record, 0, sizeof record);
   // A canary in the spare byte: the parser must end the record itself.
   record[FILELOCK_RECORD_SIZE] = 'Z';
   std::memcpy(record, data, size < FILELOCK_RECORD_SIZE ? size : FILELOCK_RECORD_SIZE);

   FileLockRecordFields fields;
   if (FileLockParseMemberRecord(record, &fields)) {
      CheckField(record, fields.machineID);
      CheckField(record, fields.executionID);
      CheckField(record, fields.lockType);
      if (std::strcmp(fields.lockType, "S") != 0 && std::strcmp(fields.lockType, "X") != 0) {
         std::abort();
      }
      if (fields.locationChecksum != nullptr &&
          (fields.locationChecksum < record ||
           fields.locationChecksum >= record + FILELOCK_RECORD_SIZE ||
           std::strchr(fields.locationChecksum, ' ') != nullptr)) {
         std::abort();
      }
   }
   return 0;
}
