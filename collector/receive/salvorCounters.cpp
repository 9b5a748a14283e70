// The receive path's counters; see salvorCounters.h.
#include "collector/receive/salvorCounters.h"

#include "protocol/salvorProto.h"

SalvorReceiveCounters salvorReceiveCounters{};

SalvorDatagramType
SalvorDatagramTypeOf(uint32_t type)
{
   switch (type) {
   case SALVOR_MSG_INIT: return SALVOR_DATAGRAM_INIT;
   case SALVOR_MSG_DATA: return SALVOR_DATAGRAM_DATA;
   case SALVOR_MSG_DONE: return SALVOR_DATAGRAM_DONE;
   case SALVOR_MSG_STATUS_CHECK: return SALVOR_DATAGRAM_STATUS_CHECK;
   default: return SALVOR_DATAGRAM_UNKNOWN;
   }
}
