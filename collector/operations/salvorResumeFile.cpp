// The resume state file's records; see salvorResumeFile.h.
#include "collector/operations/salvorResumeFile.h"

#include <array>
#include <cstring>

namespace {

enum : uint8_t {
   RECORD_HEADER = 'H',
   RECORD_BEGUN = 'B',
   RECORD_ACKED = 'A',
   RECORD_UNKNOWN = 'U',
   RECORD_ENDED = 'E',
};

constexpr uint8_t HEADER_MAGIC[8] = {'s', 'a', 'l', 'v', 'o', 'r', 'R', '1'};

constexpr std::array<uint32_t, 256>
SalvorCrcTable()
{
   std::array<uint32_t, 256> table{};
   for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = i;
      for (int k = 0; k < 8; k++) {
         c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      }
      table[i] = c;
   }
   return table;
}

constexpr std::array<uint32_t, 256> CRC_TABLE = SalvorCrcTable();

// Writes and reads little-endian numbers at a moving position.
struct Cursor {
   uint8_t *at;

   void Put(uint64_t value, int bytes)
   {
      for (int i = 0; i < bytes; i++) {
         *at++ = (uint8_t)(value >> (8 * i));
      }
   }
   void PutBytes(const void *data, size_t length)
   {
      std::memcpy(at, data, length);
      at += length;
   }
};

struct Reader {
   const uint8_t *at;
   const uint8_t *end;
   bool ok = true;

   uint64_t Get(int bytes)
   {
      if (end - at < bytes) {
         ok = false;
         return 0;
      }
      uint64_t value = 0;
      for (int i = 0; i < bytes; i++) {
         value |= (uint64_t)*at++ << (8 * i);
      }
      return value;
   }
   void GetBytes(void *out, size_t length)
   {
      if ((size_t)(end - at) < length) {
         ok = false;
         return;
      }
      std::memcpy(out, at, length);
      at += length;
   }
};

// Frames the body that was written from out + SALVOR_RESUME_FRAME up to `end`.
size_t
SalvorFrame(uint8_t *out, const uint8_t *end)
{
   size_t body = (size_t)(end - out) - SALVOR_RESUME_FRAME;
   Cursor frame{out};
   frame.Put(body, 4);
   frame.Put(SalvorCrc32(out + SALVOR_RESUME_FRAME, body), 4);
   return SALVOR_RESUME_FRAME + body;
}

size_t
SalvorEncodeSlotRecord(uint8_t type, int slot, uint8_t *out)
{
   Cursor c{out + SALVOR_RESUME_FRAME};
   c.Put(type, 1);
   c.Put((uint64_t)slot, 2);
   return SalvorFrame(out, c.at);
}

// A begun record's body after its type; false when it does not read.
bool
SalvorDecodeBegun(Reader *r, SalvorResumeDump *dump)
{
   dump->slot = (int)r->Get(2);
   dump->resumed = (uint32_t)r->Get(4);
   r->GetBytes(dump->host.bytes, sizeof dump->host.bytes);
   dump->timestamp = (int64_t)r->Get(8);
   dump->startedWallUsec = (int64_t)r->Get(8);
   dump->id.device = r->Get(8);
   dump->id.inode = r->Get(8);
   dump->sealed = r->Get(1) != 0;
   r->GetBytes(dump->keyId, sizeof dump->keyId);
   r->GetBytes(dump->token, sizeof dump->token);
   size_t keyLength = (size_t)r->Get(1);
   if (keyLength > SALVOR_KEY_NAME_MAX) {
      return false;
   }
   r->GetBytes(dump->keyName, keyLength);
   dump->keyName[keyLength] = '\0';
   size_t nameLength = (size_t)r->Get(2);
   if (nameLength > SALVOR_RESUME_NAME_MAX) {
      return false;
   }
   r->GetBytes(dump->name, nameLength);
   dump->name[nameLength] = '\0';
   return r->ok;
}

// Applies one record's body to the slots; false when it does not read.
bool
SalvorApplyRecord(const uint8_t *body, size_t length, bool first, SalvorResumeRead *read)
{
   Reader r{body, body + length};
   uint8_t type = (uint8_t)r.Get(1);
   if (first != (type == RECORD_HEADER)) {
      return false;
   }
   if (type == RECORD_HEADER) {
      uint8_t magic[sizeof HEADER_MAGIC];
      r.GetBytes(magic, sizeof magic);
      return r.ok && r.at == r.end && std::memcmp(magic, HEADER_MAGIC, sizeof magic) == 0;
   }
   if (type == RECORD_BEGUN) {
      SalvorResumeDump dump{};
      if (!SalvorDecodeBegun(&r, &dump) || r.at != r.end || dump.slot >= SALVOR_RESUME_SLOTS) {
         return false;
      }
      SalvorResumeLive &live = read->slots[(size_t)dump.slot];
      live.live = true;
      live.dump = dump;
      live.acked.Reset();
      return true;
   }
   size_t slot = (size_t)r.Get(2);
   uint64_t start = type == RECORD_ACKED ? r.Get(8) : 0;
   uint64_t end = type == RECORD_ACKED ? r.Get(8) : 0;
   if (!r.ok || r.at != r.end || slot >= SALVOR_RESUME_SLOTS ||
       (type != RECORD_ACKED && type != RECORD_UNKNOWN && type != RECORD_ENDED)) {
      return false;
   }
   SalvorResumeLive &live = read->slots[slot];
   if (type == RECORD_ENDED) {
      live.live = false;
      live.acked.Reset();
   } else if (live.live && type == RECORD_UNKNOWN) {
      live.acked.MarkUnknown();
   } else if (live.live) {
      live.acked.Add(start, end);
   }
   return true;
}

// The length of the framed record at `at` when its framing checks; 0 otherwise.
size_t
SalvorRecordChecks(const uint8_t *at, size_t left)
{
   if (left < SALVOR_RESUME_FRAME) {
      return 0;
   }
   Reader frame{at, at + SALVOR_RESUME_FRAME};
   size_t body = (size_t)frame.Get(4);
   uint32_t crc = (uint32_t)frame.Get(4);
   if (body == 0 || body > SALVOR_RESUME_MAX_RECORD - SALVOR_RESUME_FRAME ||
       body > left - SALVOR_RESUME_FRAME ||
       SalvorCrc32(at + SALVOR_RESUME_FRAME, body) != crc) {
      return 0;
   }
   return SALVOR_RESUME_FRAME + body;
}

}  // namespace

uint32_t
SalvorCrc32(const void *data, size_t length)
{
   const uint8_t *p = static_cast<const uint8_t *>(data);
   uint32_t crc = 0xFFFFFFFFu;
   for (size_t i = 0; i < length; i++) {
      crc = CRC_TABLE[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
   }
   return crc ^ 0xFFFFFFFFu;
}

size_t
SalvorResumeEncodeHeader(uint8_t *out)
{
   Cursor c{out + SALVOR_RESUME_FRAME};
   c.Put(RECORD_HEADER, 1);
   c.PutBytes(HEADER_MAGIC, sizeof HEADER_MAGIC);
   return SalvorFrame(out, c.at);
}

size_t
SalvorResumeEncodeBegun(const SalvorResumeDump &dump, uint8_t *out)
{
   Cursor c{out + SALVOR_RESUME_FRAME};
   c.Put(RECORD_BEGUN, 1);
   c.Put((uint64_t)dump.slot, 2);
   c.Put(dump.resumed, 4);
   c.PutBytes(dump.host.bytes, sizeof dump.host.bytes);
   c.Put((uint64_t)dump.timestamp, 8);
   c.Put((uint64_t)dump.startedWallUsec, 8);
   c.Put(dump.id.device, 8);
   c.Put(dump.id.inode, 8);
   c.Put(dump.sealed ? 1 : 0, 1);
   c.PutBytes(dump.keyId, sizeof dump.keyId);
   c.PutBytes(dump.token, sizeof dump.token);
   size_t keyLength = strnlen(dump.keyName, SALVOR_KEY_NAME_MAX);
   c.Put(keyLength, 1);
   c.PutBytes(dump.keyName, keyLength);
   size_t nameLength = strnlen(dump.name, SALVOR_RESUME_NAME_MAX);
   c.Put(nameLength, 2);
   c.PutBytes(dump.name, nameLength);
   return SalvorFrame(out, c.at);
}

size_t
SalvorResumeEncodeAcked(int slot, uint64_t start, uint64_t end, uint8_t *out)
{
   Cursor c{out + SALVOR_RESUME_FRAME};
   c.Put(RECORD_ACKED, 1);
   c.Put((uint64_t)slot, 2);
   c.Put(start, 8);
   c.Put(end, 8);
   return SalvorFrame(out, c.at);
}

size_t
SalvorResumeEncodeUnknown(int slot, uint8_t *out)
{
   return SalvorEncodeSlotRecord(RECORD_UNKNOWN, slot, out);
}

size_t
SalvorResumeEncodeEnded(int slot, uint8_t *out)
{
   return SalvorEncodeSlotRecord(RECORD_ENDED, slot, out);
}

SalvorResumeRead
SalvorResumeParse(const uint8_t *data, size_t size)
{
   SalvorResumeRead read{SALVOR_RESUME_READ_WHOLE, 0, {}};
   read.slots.resize(SALVOR_RESUME_SLOTS);
   size_t at = 0;
   while (at < size) {
      size_t length = SalvorRecordChecks(data + at, size - at);
      if (length == 0 ||
          !SalvorApplyRecord(data + at + SALVOR_RESUME_FRAME, length - SALVOR_RESUME_FRAME,
                             at == 0, &read)) {
         break;
      }
      at += length;
   }
   read.goodBytes = at;
   if (at == size) {
      return read;
   }
   // A record cut short by a crash is the last one: any record that checks
   // after the failure shows damage, not a torn tail. So does a bad header.
   read.result = at == 0 && size >= SALVOR_RESUME_FRAME + 1 + sizeof HEADER_MAGIC
                     ? SALVOR_RESUME_READ_DAMAGED
                     : SALVOR_RESUME_READ_TORN;
   for (size_t next = at + 1; read.result == SALVOR_RESUME_READ_TORN && next < size; next++) {
      if (SalvorRecordChecks(data + next, size - next) != 0) {
         read.result = SALVOR_RESUME_READ_DAMAGED;
      }
   }
   return read;
}
