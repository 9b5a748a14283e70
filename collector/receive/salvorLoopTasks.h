// Work of the operators' side that runs on the receive loop's thread.
//
// The loop knows nothing of journals, hooks or metrics files: whatever
// must run between datagrams registers a task once at start, before the
// loop runs:
//
//    static const SalvorLoopTask metrics{.eachPass = MetricsWriteIfDue, .stop = MetricsWrite};
//    SalvorAddLoopTask(&metrics);
//
// Any member may be null; tasks are called in the order they were added.
// `hears` is asked for every datagram: keep it cheap.
#pragma once

#include "lib/net/net.h"

constexpr int SALVOR_MAX_LOOP_TASKS = 8;

struct SalvorLoopTask {
   // The loop is set up; `wake` ends its wait (safe from any thread and
   // from a signal handler).
   void (*start)(void (*wake)()) = nullptr;
   // Whether a datagram from `client` is heard; one refused gets no reply,
   // and the task counts and logs it.
   bool (*hears)(const NetIp &client) = nullptr;
   // After every wait, before what it brought is handled.
   void (*afterWait)() = nullptr;
   // After a batch of datagrams is handled, before its replies are sent:
   // what must last before a host hears its answer is written here.
   void (*beforeReplies)() = nullptr;
   // With the idle sweep of the slots.
   void (*idleSweep)() = nullptr;
   // Before every wait.
   void (*eachPass)() = nullptr;
   // How long the loop may wait, in milliseconds; -1: no limit of this task's.
   int (*waitMs)() = nullptr;
   // At stop, once the dumps in progress have ended: what is held goes out.
   void (*flush)() = nullptr;
   // At stop, after every task's flush.
   void (*stop)() = nullptr;
};

/*
 * Adds a task (kept by address: it must outlive the loop). Adding one
 * twice changes nothing. False, with an error logged, when the table is
 * full.
 */
bool SalvorAddLoopTask(const SalvorLoopTask *task);
// Forgets every task (tests).
void SalvorRemoveAllLoopTasks();

void SalvorLoopTasksStart(void (*wake)());
bool SalvorLoopTasksHear(const NetIp &client);
void SalvorLoopTasksAfterWait();
void SalvorLoopTasksBeforeReplies();
void SalvorLoopTasksIdleSweep();
void SalvorLoopTasksEachPass();
// The shortest wait any task asks for, or `longest`.
int SalvorLoopTasksWaitMs(int longest);
void SalvorLoopTasksStop();
