// Fatal errors of the libraries; see panic.h.
#include "lib/misc/panic.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/string/str.h"

namespace {

// How many times Panic has been entered, by any thread.
std::atomic<int32_t> panicCount{0};

// The fatal path of the layers above; null until one is installed.
std::atomic<PanicHandler> panicHandler{nullptr};

[[noreturn]] void
AllocFailure(int bugNr, const char *file, int line)
{
   if (bugNr == -1) {
      Panic("Unrecoverable memory allocation failure at %s:%d\n", file, line);
   }
   Panic("Unrecoverable memory allocation failure at %s:%d.  Bug number: %d\n",
         file, line, bugNr);
}

}  // namespace

PanicHandler
Panic_SetHandler(PanicHandler handler)
{
   return panicHandler.exchange(handler);
}

void
Panic(const char *format, ...)
{
   char msg[1024];
   va_list args;
   va_start(args, format);
   Str_Vsnprintf(msg, sizeof msg, format, args);
   va_end(args);

   // There is no debugger output channel on this platform: standard error only.
   std::fputs(msg, stderr);
   int32_t count = ++panicCount;
   PanicHandler handler = panicHandler.load();
   if (handler != nullptr) {
      handler(msg, count);
   }
   if (count > 1) {
      std::fputs("Panic loop\n", stderr);
      std::_Exit(1);
   }
   std::exit(-1);
}

void *
MustMalloc(int bugNr, size_t size, const char *file, int line)
{
   void *p = std::malloc(size);
   if (p == nullptr && size != 0) {
      AllocFailure(bugNr, file, line);
   }
   return p;
}

void *
MustCalloc(int bugNr, size_t count, size_t size, const char *file, int line)
{
   void *p = std::calloc(count, size);
   if (p == nullptr && count != 0 && size != 0) {
      AllocFailure(bugNr, file, line);
   }
   return p;
}

void *
MustRealloc(int bugNr, void *block, size_t size, const char *file, int line)
{
   void *p = std::realloc(block, size);
   if (p == nullptr && size != 0) {
      AllocFailure(bugNr, file, line);
   }
   return p;
}

char *
MustStrdup(int bugNr, const char *text, const char *file, int line)
{
   if (text == nullptr) {
      return nullptr;
   }
   char *p = strdup(text);
   if (p == nullptr) {
      AllocFailure(bugNr, file, line);
   }
   return p;
}

char *
MustStrndup(int bugNr, const char *bytes, size_t length, const char *file, int line)
{
   if (bytes == nullptr) {
      return nullptr;
   }
   // strndup is POSIX only.
   size_t n = strnlen(bytes, length);
   char *p = (char *)std::malloc(n + 1);
   if (p == nullptr) {
      AllocFailure(bugNr, file, line);
   }
   std::memcpy(p, bytes, n);
   p[n] = '\0';
   return p;
}
