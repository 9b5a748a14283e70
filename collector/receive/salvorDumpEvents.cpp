// The dump's events and their subscribers; see salvorDumpEvents.h.
#include "collector/receive/salvorDumpEvents.h"

#include "lib/log/log.h"

namespace {

struct SalvorDumpSubscribers {
   const SalvorDumpSubscriber *table[SALVOR_MAX_DUMP_SUBSCRIBERS];
   int count;
};

SalvorDumpSubscribers subscribers{};

}  // namespace

bool
SalvorSubscribeDumpEvents(const SalvorDumpSubscriber *subscriber)
{
   for (int i = 0; i < subscribers.count; i++) {
      if (subscribers.table[i] == subscriber) {
         return true;
      }
   }
   if (subscribers.count == SALVOR_MAX_DUMP_SUBSCRIBERS) {
      Warning("No room for another subscriber of the dumps' events.\n");
      return false;
   }
   subscribers.table[subscribers.count++] = subscriber;
   return true;
}

void
SalvorUnsubscribeAllDumpEvents()
{
   subscribers = SalvorDumpSubscribers{};
}

void
SalvorAnnounceBegun(const SalvorDumpBegun &event)
{
   for (int i = 0; i < subscribers.count; i++) {
      if (subscribers.table[i]->begun != nullptr) {
         subscribers.table[i]->begun(event);
      }
   }
}

void
SalvorAnnounceData(const SalvorDumpData &event)
{
   for (int i = 0; i < subscribers.count; i++) {
      if (subscribers.table[i]->data != nullptr) {
         subscribers.table[i]->data(event);
      }
   }
}

void
SalvorAnnounceEnded(const SalvorDumpEnded &event)
{
   for (int i = 0; i < subscribers.count; i++) {
      if (subscribers.table[i]->ended != nullptr) {
         subscribers.table[i]->ended(event);
      }
   }
}

bool
SalvorDumpMayBegin(const NetIp &host)
{
   for (int i = 0; i < subscribers.count; i++) {
      if (subscribers.table[i]->mayBegin != nullptr && !subscribers.table[i]->mayBegin(host)) {
         return false;
      }
   }
   return true;
}

bool
SalvorDumpMayWrite(const NetIp &host, size_t bytes)
{
   for (int i = 0; i < subscribers.count; i++) {
      if (subscribers.table[i]->mayWrite != nullptr &&
          !subscribers.table[i]->mayWrite(host, bytes)) {
         return false;
      }
   }
   return true;
}
