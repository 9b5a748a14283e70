// The loop's tasks; see salvorLoopTasks.h.
#include "collector/receive/salvorLoopTasks.h"

#include "lib/log/log.h"

namespace {

struct SalvorLoopTasks {
   const SalvorLoopTask *table[SALVOR_MAX_LOOP_TASKS];
   int count;
};

SalvorLoopTasks tasks{};

// Calls member `call` of every task that has it.
template <typename Member, typename... Args>
void
SalvorEachTask(Member member, Args... args)
{
   for (int i = 0; i < tasks.count; i++) {
      if (tasks.table[i]->*member != nullptr) {
         (tasks.table[i]->*member)(args...);
      }
   }
}

}  // namespace

bool
SalvorAddLoopTask(const SalvorLoopTask *task)
{
   for (int i = 0; i < tasks.count; i++) {
      if (tasks.table[i] == task) {
         return true;
      }
   }
   if (tasks.count == SALVOR_MAX_LOOP_TASKS) {
      Warning("No room for another task of the receive loop.\n");
      return false;
   }
   tasks.table[tasks.count++] = task;
   return true;
}

void
SalvorRemoveAllLoopTasks()
{
   tasks = SalvorLoopTasks{};
}

void
SalvorLoopTasksStart(void (*wake)())
{
   SalvorEachTask(&SalvorLoopTask::start, wake);
}

bool
SalvorLoopTasksHear(const NetIp &client)
{
   for (int i = 0; i < tasks.count; i++) {
      if (tasks.table[i]->hears != nullptr && !tasks.table[i]->hears(client)) {
         return false;
      }
   }
   return true;
}

void
SalvorLoopTasksAfterWait()
{
   SalvorEachTask(&SalvorLoopTask::afterWait);
}

void
SalvorLoopTasksIdleSweep()
{
   SalvorEachTask(&SalvorLoopTask::idleSweep);
}

void
SalvorLoopTasksEachPass()
{
   SalvorEachTask(&SalvorLoopTask::eachPass);
}

int
SalvorLoopTasksWaitMs(int longest)
{
   int wait = longest;
   for (int i = 0; i < tasks.count; i++) {
      int ms = tasks.table[i]->waitMs != nullptr ? tasks.table[i]->waitMs() : -1;
      if (ms >= 0 && ms < wait) {
         wait = ms;
      }
   }
   return wait;
}

void
SalvorLoopTasksStop()
{
   SalvorEachTask(&SalvorLoopTask::flush);
   SalvorEachTask(&SalvorLoopTask::stop);
}
