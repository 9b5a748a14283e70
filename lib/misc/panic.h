// Fatal errors of the libraries and allocation that must succeed.
//
// Panic reports a condition the libraries cannot recover from and ends
// the process with exit status -1. It formats the message, writes it to
// standard error and hands it to the handler that a higher layer has
// installed (the full fatal path: log, backtrace, core image, a message to
// the user; see lib/coreDump/fatalPath.h); without one, standard error is
// all the evidence. A panic while panicking ends the process at once with
// exit status 1. The Must* allocators never return null for a nonzero
// request: they panic with the caller's source position.
//
// This module sits at the bottom of the library: it must not call up into
// the modules that use it, which is why the fatal path is a handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "lib/string/str.h"  // PRINTF_DECL

[[noreturn]] void Panic(const char *format, ...) PRINTF_DECL(1, 2);

/*
 * What Panic does with its formatted message once it is on standard
 * error. entry counts the entries of Panic (1 for the first; a later one
 * is a panic while panicking). Panic ends the process when the handler
 * returns: exit status -1 on the first entry, 1 on a later one.
 */
typedef void (*PanicHandler)(const char *msg, int32_t entry);

// Installs handler (null: none) for every thread; returns the one before.
PanicHandler Panic_SetHandler(PanicHandler handler);

void *MustMalloc(int bugNr, size_t size, const char *file, int line);
void *MustCalloc(int bugNr, size_t count, size_t size, const char *file, int line);
void *MustRealloc(int bugNr, void *block, size_t size, const char *file, int line);
char *MustStrdup(int bugNr, const char *text, const char *file, int line);
char *MustStrndup(int bugNr, const char *bytes, size_t length, const char *file, int line);

/*
 * The module path that reports show for a source file: its path from the
 * tree root without the extension ("lib/file/fileIO" for
 * lib/file/fileIO.cpp). The build makes __FILE__ relative to the tree root
 * (-fmacro-prefix-map), so the path does not depend on where the tree
 * lies; a file whose module goes by another name declares it as
 * SALVOR_MODULE (see lib/CMakeLists.txt). Worked out while compiling.
 */
template <size_t N>
struct PanicSourcePath {
   char text[N] = {};
   consteval PanicSourcePath(const char (&file)[N])
   {
      size_t end = N - 1;
      for (size_t i = N - 1; i > 0; i--) {
         if (file[i - 1] == '/') {
            break;
         }
         if (file[i - 1] == '.') {
            end = i - 1;
            break;
         }
      }
      for (size_t i = 0; i < end; i++) {
         text[i] = file[i];
      }
   }
};

template <PanicSourcePath path>
inline constexpr const char *panicSourcePath = path.text;

#ifdef SALVOR_MODULE
#define SALVOR_SOURCE_PATH SALVOR_MODULE
#else
#define SALVOR_SOURCE_PATH panicSourcePath<PanicSourcePath(__FILE__)>
#endif

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

/*
 * Runs body and returns what it returns. The strings and containers of the
 * standard library report an allocation failure by throwing; inside body
 * such a failure ends the process as "MEM_ALLOC <module>:<line>" instead,
 * so that it leaves the evidence of any other panic and never escapes
 * from the entry point that calls this.
 */
template <typename Body>
auto
Panic_OnAllocFailure(const char *module, int line, Body &&body) -> decltype(body())
{
   try {
      return body();
   } catch (const std::bad_alloc &) {
   } catch (const std::length_error &) {
   }
   Panic("MEM_ALLOC %s:%d\n", module, line);
}

// Panic_OnAllocFailure at the caller's place.
#define MEM_ALLOC_GUARD(...) Panic_OnAllocFailure(SALVOR_SOURCE_PATH, __LINE__, __VA_ARGS__)
