// The dump protocol: the 48-byte little-endian header that starts every
// request and every reply, the message types and the reply statuses.
//
// Shared by the collector, the client tools, the tests and the benchmarks;
// depends on nothing else of the project. Headers are read from and
// written to the wire byte by byte, so the code is independent of the
// host's byte order and of alignment.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t SALVOR_DEFAULT_PORT = 6500;  // UDP
constexpr uint32_t SALVOR_MSG_MAGIC = 0xADECA1BF;
constexpr size_t SALVOR_HEADER_SIZE = 48;
constexpr size_t SALVOR_RECV_BUFFER_SIZE = 1600;
constexpr size_t SALVOR_MAX_PAYLOAD = SALVOR_RECV_BUFFER_SIZE - SALVOR_HEADER_SIZE;

enum : uint32_t {
   SALVOR_MSG_INIT = 1,
   SALVOR_MSG_DATA = 2,
   SALVOR_MSG_DONE = 6,
   SALVOR_MSG_STATUS_CHECK = 7,
};

enum : uint32_t {
   hxk_success = 0x00000000,
   hxk_create_failed = 0x0BAD0001,
   hxk_limit_exceeded = 0x0BAD0006,
   hxk_write_failed = 0x0BAD000A,
   hxk_invalid_dump = 0x0BAD000E,
   hxk_unknown_type = 0x0BAD0020,
};

struct salvorMsgHeader {
   uint8_t reserved1[8];
   uint32_t magic;
   uint8_t reserved2[4];
   int64_t timestamp;
   uint32_t dumpID;
   uint32_t type;
   uint32_t dataOffset;
   uint32_t dataLength;
   uint32_t status;
   uint32_t assignedDumpID;
};

// Field offsets on the wire.
enum {
   SALVOR_OFF_MAGIC = 8,
   SALVOR_OFF_TIMESTAMP = 16,
   SALVOR_OFF_DUMPID = 24,
   SALVOR_OFF_TYPE = 28,
   SALVOR_OFF_DATAOFFSET = 32,
   SALVOR_OFF_DATALENGTH = 36,
   SALVOR_OFF_STATUS = 40,
   SALVOR_OFF_ASSIGNED = 44,
};

// The four numbers of a client address (host order), most significant
// first, as arguments for "%u.%u.%u.%u".
#define SALVOR_IP_BYTES(ip) \
   (unsigned)((ip) >> 24), (unsigned)(((ip) >> 16) & 0xff), \
   (unsigned)(((ip) >> 8) & 0xff), (unsigned)((ip) & 0xff)

/*
 * A done's reserved2, unread otherwise, holds these bytes when the client
 * declares its dump sparse: the holes in it are ranges the dump leaves out
 * on purpose (as a flattened dump leaves out pages it filtered), not bytes
 * lost on the way. Any other value is a dump like any other.
 */
constexpr uint8_t SALVOR_DONE_SPARSE[4] = {'S', 'P', 'R', 'S'};
bool SalvorDoneIsSparse(const salvorMsgHeader *done);

// Reads a header from the first 48 bytes of `wire`.
void SalvorDecodeHeader(const uint8_t *wire, salvorMsgHeader *hdr);
// Writes a header as its 48 wire bytes.
void SalvorEncodeHeader(const salvorMsgHeader *hdr, uint8_t *wire);

// The name of a reply status ("hxk_success", ...), or null if unknown.
const char *SalvorStatusName(uint32_t status);
