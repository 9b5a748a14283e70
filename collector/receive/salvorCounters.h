// What the receive path counts for the metrics: an addition each, made on
// the loop's thread only. The operators' side counts its own
// (salvorOpsCounters.h).
#pragma once

#include <cstdint>

// Why an init was refused.
enum SalvorRefusal : int {
   SALVOR_REFUSED_NO_SLOT,
   SALVOR_REFUSED_NAMES_TAKEN,
   SALVOR_REFUSED_CREATE_FAILED,
   SALVOR_REFUSED_LOW_SPACE,
   SALVOR_REFUSED_NO_MEMORY,
   SALVOR_REFUSED_COUNT,
};

// Datagrams with a good magic, by message type.
enum SalvorDatagramType : int {
   SALVOR_DATAGRAM_INIT,
   SALVOR_DATAGRAM_DATA,
   SALVOR_DATAGRAM_DONE,
   SALVOR_DATAGRAM_STATUS_CHECK,
   SALVOR_DATAGRAM_UNKNOWN,
   SALVOR_DATAGRAM_TYPE_COUNT,
};

// Datagrams dropped unanswered.
enum SalvorDrop : int {
   SALVOR_DROP_EMPTY,
   SALVOR_DROP_SHORT,
   SALVOR_DROP_LONG,
   SALVOR_DROP_BAD_MAGIC,
   SALVOR_DROP_NOT_ALLOWED,  // from a host outside allowFrom
   SALVOR_DROP_BAD_SEAL,     // sealed, but does not open
   SALVOR_DROP_PLAIN_REFUSED,  // plain, with keys configured, from outside allowPlainFrom
   SALVOR_DROP_KEY_REVOKED,  // sealed with a key removed while its dump was in progress
   SALVOR_DROP_COUNT,
};

struct SalvorReceiveCounters {
   uint64_t refused[SALVOR_REFUSED_COUNT];
   uint64_t receivedBytes;  // payload bytes written to dump files
   uint64_t datagrams[SALVOR_DATAGRAM_TYPE_COUNT];
   uint64_t dropped[SALVOR_DROP_COUNT];
};

extern SalvorReceiveCounters salvorReceiveCounters;

SalvorDatagramType SalvorDatagramTypeOf(uint32_t type);
