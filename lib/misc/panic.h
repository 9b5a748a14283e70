// Fatal errors of the libraries and allocation that must succeed.
//
// Panic reports a condition the libraries cannot recover from and ends
// the process with exit status -1, leaving the message on standard error
// and in the log, a backtrace in the log, a core image in the per-user
// safe temporary directory and a message to the user. A panic while
// panicking ends the process at once with exit status 1. The Must*
// allocators never return null for a nonzero request: they panic with the
// caller's source position.
#pragma once

#include <cstddef>

#include "lib/string/str.h"  // PRINTF_DECL

[[noreturn]] void Panic(const char *format, ...) PRINTF_DECL(1, 2);

void *MustMalloc(int bugNr, size_t size, const char *file, int line);
void *MustCalloc(int bugNr, size_t count, size_t size, const char *file, int line);
void *MustRealloc(int bugNr, void *block, size_t size, const char *file, int line);
char *MustStrdup(int bugNr, const char *text, const char *file, int line);
char *MustStrndup(int bugNr, const char *bytes, size_t length, const char *file, int line);

// Source path of a module as reports show it: "lib/file/fileIO" for
// ".../lib/file/fileIO.cpp".
const char *Panic_SourcePath(const char *file);

#define SALVOR_SOURCE_PATH Panic_SourcePath(__FILE__)

#define NOT_IMPLEMENTED() Panic("NOT_IMPLEMENTED %s:%d\n", SALVOR_SOURCE_PATH, __LINE__)
#define NOT_REACHED() Panic("NOT_REACHED %s:%d\n", SALVOR_SOURCE_PATH, __LINE__)
#define NOT_REACHED_BUG(bug) \
   Panic("NOT_REACHED %s:%d bugNr=%d\n", SALVOR_SOURCE_PATH, __LINE__, (int)(bug))
#define PANIC() Panic("PANIC %s:%d\n", SALVOR_SOURCE_PATH, __LINE__)
// A creation of a lock or table that failed.
#define MEM_ALLOC_FAILED() Panic("MEM_ALLOC %s:%d\n", SALVOR_SOURCE_PATH, __LINE__)
// An internal consistency check, kept in every build.
#define ASSERT_BUG(bug, cond) \
   do { \
      if (!(cond)) { \
         Panic("ASSERT %s:%d bugNr=%d\n", SALVOR_SOURCE_PATH, __LINE__, (int)(bug)); \
      } \
   } while (0)

#define Util_SafeMalloc(size) MustMalloc(-1, (size), SALVOR_SOURCE_PATH, __LINE__)
#define Util_SafeCalloc(count, size) MustCalloc(-1, (count), (size), SALVOR_SOURCE_PATH, __LINE__)
#define Util_SafeRealloc(block, size) MustRealloc(-1, (block), (size), SALVOR_SOURCE_PATH, __LINE__)
#define Util_SafeStrdup(text) MustStrdup(-1, (text), SALVOR_SOURCE_PATH, __LINE__)
#define Util_SafeStrndup(text, n) MustStrndup(-1, (text), (n), SALVOR_SOURCE_PATH, __LINE__)
