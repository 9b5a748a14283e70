// The loop's tasks; see salvorLoopTasks.h.
#include "collector/receive/salvorLoopTasks.h"

#include "collector/receive/salvorHandlerTable.h"
#include "lib/log/log.h"

namespace {

SalvorHandlerTable<SalvorLoopTask, SALVOR_MAX_LOOP_TASKS> tasks{};

}  // namespace

bool
SalvorAddLoopTask(const SalvorLoopTask *task)
{
   if (!tasks.Add(task)) {
      Warning("No room for another task of the receive loop.\n");
      return false;
   }
   return true;
}

void
SalvorRemoveAllLoopTasks()
{
   tasks = {};
}

void
SalvorLoopTasksStart(void (*wake)())
{
   tasks.Each(&SalvorLoopTask::start, wake);
}

bool
SalvorLoopTasksHear(const NetIp &client)
{
   return tasks.All(&SalvorLoopTask::hears, client);
}

void
SalvorLoopTasksAfterWait()
{
   tasks.Each(&SalvorLoopTask::afterWait);
}

void
SalvorLoopTasksBeforeReplies()
{
   tasks.Each(&SalvorLoopTask::beforeReplies);
}

void
SalvorLoopTasksIdleSweep()
{
   tasks.Each(&SalvorLoopTask::idleSweep);
}

void
SalvorLoopTasksEachPass()
{
   tasks.Each(&SalvorLoopTask::eachPass);
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
   tasks.Each(&SalvorLoopTask::flush);
   tasks.Each(&SalvorLoopTask::stop);
}
