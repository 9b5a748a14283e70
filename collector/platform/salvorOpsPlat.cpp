// The portable part of the operations features' platform layer; see
// salvorOpsPlat.h.
#include "collector/platform/salvorOpsPlat.h"

#include <cstdio>
#include <ctime>

void
SalvorPlat_FormatIsoTime(int64_t wallUsec, char *buf, size_t size)
{
   struct tm tm;
   long off = SalvorPlat_LocalTime(wallUsec / 1000000, &tm);
   char sign = off < 0 ? '-' : '+';
   off = off < 0 ? -off : off;
   std::snprintf(buf, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", tm.tm_year + 1900,
                 tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                 (int)(wallUsec % 1000000 / 1000), sign, off / 60, off % 60);
}
