// The dump protocol's wire encoding; see salvorProto.h.
#include "protocol/salvorProto.h"

#include <cstring>

namespace {

uint32_t
SalvorGet32(const uint8_t *p)
{
   return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void
SalvorPut32(uint8_t *p, uint32_t v)
{
   p[0] = (uint8_t)v;
   p[1] = (uint8_t)(v >> 8);
   p[2] = (uint8_t)(v >> 16);
   p[3] = (uint8_t)(v >> 24);
}

}  // namespace

void
SalvorDecodeHeader(const uint8_t *wire, salvorMsgHeader *hdr)
{
   std::memcpy(hdr->reserved1, wire, 8);
   hdr->magic = SalvorGet32(wire + SALVOR_OFF_MAGIC);
   std::memcpy(hdr->reserved2, wire + 12, 4);
   uint64_t ts = (uint64_t)SalvorGet32(wire + SALVOR_OFF_TIMESTAMP) |
                 (uint64_t)SalvorGet32(wire + SALVOR_OFF_TIMESTAMP + 4) << 32;
   hdr->timestamp = (int64_t)ts;
   hdr->dumpID = SalvorGet32(wire + SALVOR_OFF_DUMPID);
   hdr->type = SalvorGet32(wire + SALVOR_OFF_TYPE);
   hdr->dataOffset = SalvorGet32(wire + SALVOR_OFF_DATAOFFSET);
   hdr->dataLength = SalvorGet32(wire + SALVOR_OFF_DATALENGTH);
   hdr->status = SalvorGet32(wire + SALVOR_OFF_STATUS);
   hdr->assignedDumpID = SalvorGet32(wire + SALVOR_OFF_ASSIGNED);
}

void
SalvorEncodeHeader(const salvorMsgHeader *hdr, uint8_t *wire)
{
   std::memcpy(wire, hdr->reserved1, 8);
   SalvorPut32(wire + SALVOR_OFF_MAGIC, hdr->magic);
   std::memcpy(wire + 12, hdr->reserved2, 4);
   uint64_t ts = (uint64_t)hdr->timestamp;
   SalvorPut32(wire + SALVOR_OFF_TIMESTAMP, (uint32_t)ts);
   SalvorPut32(wire + SALVOR_OFF_TIMESTAMP + 4, (uint32_t)(ts >> 32));
   SalvorPut32(wire + SALVOR_OFF_DUMPID, hdr->dumpID);
   SalvorPut32(wire + SALVOR_OFF_TYPE, hdr->type);
   SalvorPut32(wire + SALVOR_OFF_DATAOFFSET, hdr->dataOffset);
   SalvorPut32(wire + SALVOR_OFF_DATALENGTH, hdr->dataLength);
   SalvorPut32(wire + SALVOR_OFF_STATUS, hdr->status);
   SalvorPut32(wire + SALVOR_OFF_ASSIGNED, hdr->assignedDumpID);
}

const char *
SalvorStatusName(uint32_t status)
{
   switch (status) {
   case hxk_success: return "hxk_success";
   case hxk_create_failed: return "hxk_create_failed";
   case hxk_limit_exceeded: return "hxk_limit_exceeded";
   case hxk_write_failed: return "hxk_write_failed";
   case hxk_invalid_dump: return "hxk_invalid_dump";
   case hxk_unknown_type: return "hxk_unknown_type";
   default: return nullptr;
   }
}

bool
SalvorDoneIsSparse(const salvorMsgHeader *done)
{
   return std::memcmp(done->reserved2, SALVOR_DONE_SPARSE, sizeof SALVOR_DONE_SPARSE) == 0;
}
