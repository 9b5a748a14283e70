// The resume state file's records: what the collector keeps on disk about
// each dump in progress, so that a restart can put it back.
//
// The file is a run of records, each framed as its body's length and a
// CRC-32 of the body (both little-endian 32-bit) and then the body, whose
// first byte says what it is: the file's header, a dump that began (or
// was put back), a range of a dump that was acknowledged, the ranges of a
// dump that are not known, a dump that ended. Records are only appended,
// so a crash at any instant leaves a readable file with at most its last
// record cut short; reading stops at the first record that does not check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "collector/operations/salvorRanges.h"
#include "collector/receive/salvorSealing.h"
#include "lib/file/fileTypes.h"
#include "lib/net/net.h"

constexpr const char *SALVOR_RESUME_FILE_NAME = ".salvor-resume";
// The longest dump file name a record keeps; the collector's are far shorter.
constexpr size_t SALVOR_RESUME_NAME_MAX = 255;
// The framing's and the longest body's bytes.
constexpr size_t SALVOR_RESUME_FRAME = 8;
constexpr size_t SALVOR_RESUME_MAX_RECORD =
   SALVOR_RESUME_FRAME + 128 + SALVOR_KEY_NAME_MAX + SALVOR_RESUME_NAME_MAX;
constexpr int SALVOR_RESUME_SLOTS = 1024;

uint32_t SalvorCrc32(const void *data, size_t length);

// A dump as its begun record tells it.
struct SalvorResumeDump {
   int slot;
   NetIp host;
   int64_t timestamp;        // the client's
   int64_t startedWallUsec;  // when it began
   FileId id;                // of its file
   uint32_t resumed;         // the restarts it survived
   bool sealed;
   uint8_t keyId[SALVOR_SEAL_ID_SIZE];
   uint8_t token[SALVOR_TOKEN_SIZE];
   char keyName[SALVOR_KEY_NAME_MAX + 1];
   char name[SALVOR_RESUME_NAME_MAX + 1];  // the file's, in its host's directory
};

/*
 * Each writes one whole record at `out` (room for SALVOR_RESUME_MAX_RECORD
 * bytes) and returns its length.
 */
size_t SalvorResumeEncodeHeader(uint8_t *out);
size_t SalvorResumeEncodeBegun(const SalvorResumeDump &dump, uint8_t *out);
size_t SalvorResumeEncodeAcked(int slot, uint64_t start, uint64_t end, uint8_t *out);
size_t SalvorResumeEncodeUnknown(int slot, uint8_t *out);
size_t SalvorResumeEncodeEnded(int slot, uint8_t *out);

// A dump still in progress when the file was last written.
struct SalvorResumeLive {
   bool live = false;
   SalvorResumeDump dump{};
   SalvorRangeSet acked;
};

enum SalvorResumeReadResult {
   SALVOR_RESUME_READ_WHOLE,    // every record checks
   SALVOR_RESUME_READ_TORN,     // its last record is cut short: the rest counts
   SALVOR_RESUME_READ_DAMAGED,  // a record in the middle does not check, or no header
};

struct SalvorResumeRead {
   SalvorResumeReadResult result;
   size_t goodBytes;  // the records that check, from the start
   std::vector<SalvorResumeLive> slots;  // SALVOR_RESUME_SLOTS, as far as the good records say
};

// Reads the file's bytes.
SalvorResumeRead SalvorResumeParse(const uint8_t *data, size_t size);
