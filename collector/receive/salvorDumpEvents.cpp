// The dump's events and their subscribers; see salvorDumpEvents.h.
#include "collector/receive/salvorDumpEvents.h"

#include "collector/receive/salvorHandlerTable.h"
#include "lib/log/log.h"

namespace {

SalvorHandlerTable<SalvorDumpSubscriber, SALVOR_MAX_DUMP_SUBSCRIBERS> subscribers{};

}  // namespace

bool
SalvorSubscribeDumpEvents(const SalvorDumpSubscriber *subscriber)
{
   if (!subscribers.Add(subscriber)) {
      Warning("No room for another subscriber of the dumps' events.\n");
      return false;
   }
   return true;
}

void
SalvorUnsubscribeAllDumpEvents()
{
   subscribers = {};
}

void
SalvorAnnounceBegun(const SalvorDumpBegun &event)
{
   subscribers.Each(&SalvorDumpSubscriber::begun, event);
}

void
SalvorAnnounceData(const SalvorDumpData &event)
{
   subscribers.Each(&SalvorDumpSubscriber::data, event);
}

void
SalvorAnnounceEnded(const SalvorDumpEnded &event)
{
   subscribers.Each(&SalvorDumpSubscriber::ended, event);
}

bool
SalvorDumpMayBegin(const NetIp &host)
{
   return subscribers.All(&SalvorDumpSubscriber::mayBegin, host);
}

bool
SalvorDumpMayWrite(const NetIp &host, size_t bytes)
{
   return subscribers.All(&SalvorDumpSubscriber::mayWrite, host, bytes);
}

bool
SalvorDumpsKeptAtStop()
{
   for (int i = 0; i < subscribers.count; i++) {
      if (subscribers.table[i]->keepsAtStop != nullptr && subscribers.table[i]->keepsAtStop()) {
         return true;
      }
   }
   return false;
}
