// The portable half of the socket layer; see net.h. Both back ends report
// errors as errno-style codes, so what those codes mean is decided here once.
#include "lib/net/net.h"

#include <cerrno>
#include <cstdio>

bool
Net_IsTransientReceiveError(int err)
{
   switch (err) {
   case ECONNREFUSED:   // an earlier reply's port was closed
   case EHOSTUNREACH:
   case ENETUNREACH:
   case EINTR:
   case ENOBUFS:
   case ENOMEM:
      return true;
   default:
      return false;
   }
}

bool
Net_WouldBlock(int err)
{
   return err == EAGAIN || err == EWOULDBLOCK;
}

bool
Net_Interrupted(int err)
{
   return err == EINTR;
}

bool
Net_Refused(int err)
{
   return err == ECONNREFUSED;
}

bool
Net_SendBufferFull(int err)
{
   return err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS;
}

void
Net_FormatIPv4(uint32_t ip, char *buf, size_t size)
{
   std::snprintf(buf, size, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xff, (ip >> 8) & 0xff,
                 ip & 0xff);
}
