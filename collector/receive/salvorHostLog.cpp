// Lines per host; see salvorHostLog.h.
#include "collector/receive/salvorHostLog.h"

#include "collector/receive/salvorAddress.h"
#include "collector/receive/salvorClock.h"
#include "lib/log/log.h"

namespace {

constexpr uint64_t SALVOR_HOST_WINDOW_USEC = 1000000;

struct SalvorHostLines {
   NetIp client;
   bool used;
   uint64_t windowStart;  // SalvorClockUsec() of the window's first line
   uint32_t lines;        // logged in the window
   uint32_t suppressed;   // since the last "Suppressed" line
};

struct SalvorHostLogState {
   SalvorHostLines hosts[SALVOR_HOST_LOG_TABLE];
   SalvorHostLines others;  // hosts that found the table full
   int spells;              // entries with lines suppressed
};

SalvorHostLogState hostLog{};

bool
SalvorWindowOver(const SalvorHostLines &entry, uint64_t now)
{
   return now - entry.windowStart >= SALVOR_HOST_WINDOW_USEC;
}

void
SalvorEndSpell(SalvorHostLines *entry)
{
   if (entry == &hostLog.others) {
      Log("Suppressed %u lines about other addresses\n", entry->suppressed);
   } else {
      Log("Suppressed %u lines about %s\n", entry->suppressed, SalvorAddrText(entry->client).text);
   }
   entry->suppressed = 0;
   hostLog.spells--;
}

// The client's entry; a free one (or the shared one) for a new client.
SalvorHostLines *
SalvorHostEntry(const NetIp &client, uint64_t now)
{
   SalvorHostLines *free = nullptr;
   for (SalvorHostLines &entry : hostLog.hosts) {
      if (entry.used && entry.client == client) {
         return &entry;
      }
      // An entry whose window and spell are over remembers nothing of use.
      if (free == nullptr &&
          (!entry.used || (entry.suppressed == 0 && SalvorWindowOver(entry, now)))) {
         free = &entry;
      }
   }
   if (free == nullptr) {
      return &hostLog.others;
   }
   *free = SalvorHostLines{client, true, now, 0, 0};
   return free;
}

}  // namespace

bool
SalvorHostMayLog(const NetIp &client)
{
   uint64_t now = SalvorClockUsec();
   SalvorHostLines *entry = SalvorHostEntry(client, now);
   if (SalvorWindowOver(*entry, now)) {
      if (entry->suppressed > 0) {
         SalvorEndSpell(entry);
      }
      entry->windowStart = now;
      entry->lines = 0;
   }
   if (entry->lines < (uint32_t)SALVOR_HOST_LINES_PER_SEC) {
      entry->lines++;
      return true;
   }
   if (entry->suppressed++ == 0) {
      hostLog.spells++;
   }
   return false;
}

void
SalvorHostLogFlush()
{
   if (hostLog.spells == 0) {
      return;
   }
   uint64_t now = SalvorClockUsec();
   for (SalvorHostLines &entry : hostLog.hosts) {
      if (entry.suppressed > 0 && SalvorWindowOver(entry, now)) {
         SalvorEndSpell(&entry);
      }
   }
   if (hostLog.others.suppressed > 0 && SalvorWindowOver(hostLog.others, now)) {
      SalvorEndSpell(&hostLog.others);
   }
}

void
SalvorHostLogReset()
{
   hostLog = SalvorHostLogState{};
}
