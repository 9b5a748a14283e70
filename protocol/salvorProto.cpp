// The dump protocol's wire encoding; see salvorProto.h.
#include "protocol/salvorProto.h"

#include <cstring>

namespace {

uint32_t
Get32(const uint8_t *p)
{
   return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void
Put32(uint8_t *p, uint32_t v)
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
   hdr->magic = Get32(wire + SALVOR_OFF_MAGIC);
   std::memcpy(hdr->reserved2, wire + 12, 4);
   uint64_t ts = (uint64_t)Get32(wire + SALVOR_OFF_TIMESTAMP) |
                 (uint64_t)Get32(wire + SALVOR_OFF_TIMESTAMP + 4) << 32;
   hdr->timestamp = (int64_t)ts;
   hdr->dumpID = Get32(wire + SALVOR_OFF_DUMPID);
   hdr->type = Get32(wire + SALVOR_OFF_TYPE);
   hdr->dataOffset = Get32(wire + SALVOR_OFF_DATAOFFSET);
   hdr->dataLength = Get32(wire + SALVOR_OFF_DATALENGTH);
   hdr->status = Get32(wire + SALVOR_OFF_STATUS);
   hdr->assignedDumpID = Get32(wire + SALVOR_OFF_ASSIGNED);
}

void
SalvorEncodeHeader(const salvorMsgHeader *hdr, uint8_t *wire)
{
   std::memcpy(wire, hdr->reserved1, 8);
   Put32(wire + SALVOR_OFF_MAGIC, hdr->magic);
   std::memcpy(wire + 12, hdr->reserved2, 4);
   uint64_t ts = (uint64_t)hdr->timestamp;
   Put32(wire + SALVOR_OFF_TIMESTAMP, (uint32_t)ts);
   Put32(wire + SALVOR_OFF_TIMESTAMP + 4, (uint32_t)(ts >> 32));
   Put32(wire + SALVOR_OFF_DUMPID, hdr->dumpID);
   Put32(wire + SALVOR_OFF_TYPE, hdr->type);
   Put32(wire + SALVOR_OFF_DATAOFFSET, hdr->dataOffset);
   Put32(wire + SALVOR_OFF_DATALENGTH, hdr->dataLength);
   Put32(wire + SALVOR_OFF_STATUS, hdr->status);
   Put32(wire + SALVOR_OFF_ASSIGNED, hdr->assignedDumpID);
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
