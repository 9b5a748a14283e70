// What the two files of the POSIX back end share: the captured context.
#pragma once

#include <sys/types.h>
#include <ucontext.h>

#include "lib/coreDump/coreDumpPlatform.h"

struct CoreDumpContext {
   ucontext_t uc;          // registers as getcontext saw them
   unsigned long fsBase;   // thread pointer, which getcontext leaves out
   pid_t pid;              // the dumped process
   pid_t tid;              // the thread whose registers these are
   pid_t ppid;             // and its parent
};
