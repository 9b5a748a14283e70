// The portable part of the operations features' platform layer; see
// salvorOpsPlat.h.
#include "collector/platform/salvorOpsPlat.h"

#include <cstdio>

#include "lib/misc/clock.h"

int64_t
SalvorPlat_WallUsec()
{
   return Clock_WallUsec();
}

void
SalvorPlat_FormatIsoTime(int64_t wallUsec, char *buf, size_t size)
{
   ClockLocalTime local;
   Clock_LocalTime(wallUsec / 1000000, &local);
   int off = local.offsetMinutes;
   char sign = off < 0 ? '-' : '+';
   off = off < 0 ? -off : off;
   std::snprintf(buf, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", local.year,
                 local.month, local.day, local.hour, local.minute, local.second,
                 (int)(wallUsec % 1000000 / 1000), sign, off / 60, off % 60);
}
