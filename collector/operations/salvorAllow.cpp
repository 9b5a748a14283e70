// Whom the collector hears; see salvorAllow.h.
#include "collector/operations/salvorAllow.h"

#include "collector/receive/salvorAddress.h"
#include "collector/receive/salvorClock.h"
#include "collector/receive/salvorCounters.h"
#include "collector/receive/salvorLoopTasks.h"
#include "collector/startup/salvorNetConfig.h"
#include "lib/log/log.h"

namespace {

struct SalvorRefusedHost {
   NetIp client;
   bool used;
   uint64_t lastLine;  // SalvorClockUsec() of its last line
   uint64_t count;     // refused since that line
};

struct SalvorRefusedState {
   SalvorRefusedHost hosts[SALVOR_REFUSED_TABLE];
   SalvorRefusedHost others;
   uint64_t total;
   int unlogged;  // entries with a count not yet logged
};

SalvorRefusedState refused{};

void
SalvorLogRefused(SalvorRefusedHost *entry, uint64_t now)
{
   char who[NET_IP_TEXT_SIZE + 16] = "other addresses";
   if (entry != &refused.others) {
      Net_FormatIp(entry->client, who, sizeof who);
   }
   Log("Refused %llu datagram(s) from %s: not an allowed address (allowFrom). %llu refused "
       "in all.\n", (unsigned long long)entry->count, who, (unsigned long long)refused.total);
   entry->count = 0;
   entry->lastLine = now;
}

bool
SalvorLineDue(const SalvorRefusedHost &entry, uint64_t now)
{
   return now - entry.lastLine >= SALVOR_REFUSED_LOG_USEC;
}

SalvorRefusedHost *
SalvorRefusedEntry(const NetIp &client, uint64_t now)
{
   SalvorRefusedHost *free = nullptr;
   for (SalvorRefusedHost &entry : refused.hosts) {
      if (entry.used && entry.client == client) {
         return &entry;
      }
      // A host whose minute is over and whose count is logged can go.
      if (free == nullptr && (!entry.used || (entry.count == 0 && SalvorLineDue(entry, now)))) {
         free = &entry;
      }
   }
   if (free == nullptr) {
      free = &refused.others;
      if (free->used) {
         return free;
      }
   }
   // lastLine a minute back: the new host's first datagram is logged at once.
   *free = SalvorRefusedHost{client, true, now - SALVOR_REFUSED_LOG_USEC, 0};
   return free;
}

}  // namespace

bool
SalvorIsAllowed(const NetIp &client)
{
   int count = SalvorNetConfig.allowCount;
   if (count == 0) {
      return true;
   }
   for (int i = 0; i < count; i++) {
      if (Net_InNetwork(client, SalvorNetConfig.allow[i])) {
         return true;
      }
   }
   return false;
}

bool
SalvorNoteRefused(const NetIp &client)
{
   uint64_t now = SalvorClockUsec();
   SalvorRefusedHost *entry = SalvorRefusedEntry(client, now);
   refused.total++;
   salvorReceiveCounters.dropped[SALVOR_DROP_NOT_ALLOWED]++;
   if (entry->count++ == 0) {
      refused.unlogged++;
   }
   if (!SalvorLineDue(*entry, now)) {
      return false;
   }
   refused.unlogged--;
   SalvorLogRefused(entry, now);
   return true;
}

void
SalvorFlushRefused()
{
   if (refused.unlogged == 0) {
      return;
   }
   uint64_t now = SalvorClockUsec();
   for (SalvorRefusedHost &entry : refused.hosts) {
      if (entry.count > 0 && SalvorLineDue(entry, now)) {
         refused.unlogged--;
         SalvorLogRefused(&entry, now);
      }
   }
   if (refused.others.count > 0 && SalvorLineDue(refused.others, now)) {
      refused.unlogged--;
      SalvorLogRefused(&refused.others, now);
   }
}

uint64_t
SalvorRefusedTotal()
{
   return refused.total;
}

void
SalvorRefusedReset()
{
   refused = SalvorRefusedState{};
}

namespace {

bool
SalvorHears(const NetIp &client)
{
   if (SalvorIsAllowed(client)) {
      return true;
   }
   SalvorNoteRefused(client);
   return false;
}

void
SalvorAllowStart(void (*)())
{
   SalvorRefusedReset();
}

}  // namespace

void
SalvorAllowSubscribe()
{
   static const SalvorLoopTask task{.start = SalvorAllowStart,
                                    .hears = SalvorHears,
                                    .afterWait = SalvorFlushRefused};
   SalvorAddLoopTask(&task);
}
