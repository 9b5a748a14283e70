// Thread identity; see vthreadBase.h.
//
// Each thread's record hangs in one thread-local slot. Numbers are kept
// in a table from number to the platform id of the thread that owns it;
// a thread that exits gives its number back (owner 0), and a number whose
// owner is found to have ended may be taken over as well, always by a
// compare-and-replace of the owner just read.
#include "lib/misc/vthreadBase.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "lib/misc/logHook.h"
#include "lib/misc/panic.h"
#include "lib/misc/vthreadBasePlatform.h"
#include "lib/string/str.h"

namespace {

struct VThreadBaseData {
   uint32_t id;
   char name[VTHREAD_NAME_MAX + 1];
};

struct VThreadNumber {
   uint32_t number;
   std::atomic<VThreadPlatID> owner;  // 0: free for the taking
   VThreadNumber *next;
};

constexpr unsigned VTHREAD_NUMBER_BUCKETS = 128;
constexpr uint32_t VTHREAD_INVALID_KEY = 0xFFFFFFFF;
constexpr uint32_t VTHREAD_FIRST_ID = 3;
constexpr uint32_t VTHREAD_MAX_ID = 0xFFFFFFF5;

struct VThreadNumberTable {
   std::atomic<VThreadNumber *> buckets[VTHREAD_NUMBER_BUCKETS];
};

std::atomic<uint32_t> tlsKey{VTHREAD_INVALID_KEY};
std::atomic<uint32_t> nextId{VTHREAD_FIRST_ID};
std::atomic<uint32_t> threadCount{0};
std::atomic<int32_t> assigning{0};
std::atomic<bool> multipleThreadsNoted{false};
std::atomic<VThreadNumberTable *> numberTable{nullptr};
std::atomic<void (*)()> assignHook{nullptr};

// Fallback names of threads that ask during another thread's assignment.
thread_local char hostName[47];

VThreadNumberTable *
VThreadBaseGetNumberTable()
{
   VThreadNumberTable *table = numberTable.load(std::memory_order_acquire);
   if (table != nullptr) {
      return table;
   }
   VThreadNumberTable *mine =
      new (Util_SafeMalloc(sizeof(VThreadNumberTable))) VThreadNumberTable;
   for (std::atomic<VThreadNumber *> &bucket : mine->buckets) {
      bucket.store(nullptr, std::memory_order_relaxed);
   }
   if (numberTable.compare_exchange_strong(table, mine, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
      return mine;
   }
   mine->~VThreadNumberTable();
   std::free(mine);
   return table;
}

VThreadNumber *
VThreadBaseFindNumber(VThreadNumberTable *table, uint32_t number)
{
   VThreadNumber *e =
      table->buckets[number % VTHREAD_NUMBER_BUCKETS].load(std::memory_order_acquire);
   while (e != nullptr && e->number != number) {
      e = e->next;
   }
   return e;
}

void
VThreadBaseInsertNumber(VThreadNumberTable *table, uint32_t number, VThreadPlatID owner)
{
   VThreadNumber *e = new (Util_SafeMalloc(sizeof(VThreadNumber))) VThreadNumber;
   e->number = number;
   e->owner.store(owner, std::memory_order_relaxed);
   std::atomic<VThreadNumber *> &bucket = table->buckets[number % VTHREAD_NUMBER_BUCKETS];
   e->next = bucket.load(std::memory_order_relaxed);
   while (!bucket.compare_exchange_weak(e->next, e, std::memory_order_release,
                                        std::memory_order_relaxed)) {
   }
}

// Runs in an exiting thread: its number is free again.
void
VThreadBaseForget(void *data)
{
   VThreadBaseData *record = (VThreadBaseData *)data;
   VThreadNumberTable *table = numberTable.load(std::memory_order_acquire);
   if (table != nullptr) {
      VThreadNumber *e = VThreadBaseFindNumber(table, record->id);
      if (e != nullptr) {
         VThreadPlatID self = VThreadPlatThreadID();
         e->owner.compare_exchange_strong(self, 0, std::memory_order_acq_rel);
      }
   }
   std::free(record);
}

uint32_t
VThreadBaseGetKey()
{
   uint32_t key = tlsKey.load(std::memory_order_acquire);
   if (key != VTHREAD_INVALID_KEY) {
      return key;
   }
   uint32_t mine;
   if (!VThreadPlatKeyCreate(&mine, VThreadBaseForget)) {
      NOT_IMPLEMENTED();
   }
   if (tlsKey.compare_exchange_strong(key, mine, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
      return mine;
   }
   VThreadPlatKeyDelete(mine);
   return key;
}

inline VThreadBaseData *
VThreadBaseRaw()
{
   uint32_t key = tlsKey.load(std::memory_order_acquire);
   if (key == VTHREAD_INVALID_KEY) {
      return nullptr;
   }
   return (VThreadBaseData *)VThreadPlatGetValue(key);
}

// The lowest number whose owner is gone, taken over; else a new one.
uint32_t
VThreadBaseTakeNumber(VThreadPlatID self)
{
   VThreadNumberTable *table = VThreadBaseGetNumberTable();
   uint32_t limit = nextId.load(std::memory_order_acquire);
   for (uint32_t n = 0; n < limit; n++) {
      VThreadNumber *e = VThreadBaseFindNumber(table, n);
      if (e == nullptr) {
         continue;
      }
      VThreadPlatID owner = e->owner.load(std::memory_order_acquire);
      if ((owner == 0 || VThreadPlatThreadExited(owner)) &&
          e->owner.compare_exchange_strong(owner, self, std::memory_order_acq_rel)) {
         return n;
      }
   }
   uint32_t number = nextId.fetch_add(1, std::memory_order_acq_rel);
   if (number >= VTHREAD_MAX_ID) {
      PANIC();
   }
   VThreadBaseInsertNumber(table, number, self);
   return number;
}

VThreadBaseData *
VThreadBaseAssign()
{
   assigning.fetch_add(1, std::memory_order_acq_rel);
   void (*hook)() = assignHook.exchange(nullptr, std::memory_order_acq_rel);
   if (hook != nullptr) {
      hook();
   }

   uint32_t key = VThreadBaseGetKey();
   VThreadBaseData *record = (VThreadBaseData *)Util_SafeCalloc(1, sizeof(VThreadBaseData));
   record->id = VThreadBaseTakeNumber(VThreadPlatThreadID());
   Str_Snprintf(record->name, sizeof record->name, "vthread-%u", record->id);

   VThreadBaseData *old = (VThreadBaseData *)VThreadPlatGetValue(key);
   if (!VThreadPlatSetValue(key, record)) {
      PANIC();
   }
   uint32_t count = 0;
   if (old == nullptr) {
      count = threadCount.fetch_add(1, std::memory_order_acq_rel) + 1;
   }
   assigning.fetch_sub(1, std::memory_order_acq_rel);

   if (old != nullptr) {
      LogHook_Log("VThreadBase reinitialization, old: %d %s, new: %d %s.\n",
                  (int)old->id, old->name, (int)record->id, record->name);
      std::free(old);
   }
   if (count > 1 && !multipleThreadsNoted.exchange(true, std::memory_order_acq_rel)) {
      LogHook_Log("VThreadBase detected multiple threads.\n");
   }
   return record;
}

inline VThreadBaseData *
VThreadBaseCur()
{
   VThreadBaseData *record = VThreadBaseRaw();
   return record != nullptr ? record : VThreadBaseAssign();
}

}  // namespace

const char *
VThread_CurName()
{
   VThreadBaseData *record = VThreadBaseRaw();
   if (record != nullptr) {
      return record->name;
   }
   if (assigning.load(std::memory_order_acquire) != 0) {
      Str_Snprintf(hostName, sizeof hostName, "host-%zu", (size_t)VThreadPlatThreadID());
      return hostName;
   }
   return VThreadBaseAssign()->name;
}

uint32_t
VThread_CurID()
{
   return VThreadBaseCur()->id;
}

void
VThread_SetName(const char *name)
{
   VThreadBaseData *record = VThreadBaseCur();
   Str_Snprintf(record->name, sizeof record->name, "%s", name);
   VThreadPlatSetNativeName(record->name);
}

void
VThread_SetAssignHookForTest(void (*hook)())
{
   assignHook.store(hook, std::memory_order_release);
}
