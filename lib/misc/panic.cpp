// Fatal errors of the libraries; see panic.h.
#include "lib/misc/panic.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/log/log.h"
#include "lib/string/str.h"

namespace {

int panicCount = 0;

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

void
Panic(const char *format, ...)
{
   char msg[1024];
   va_list args;
   va_start(args, format);
   Str_Vsnprintf(msg, sizeof msg, format, args);
   va_end(args);

   std::fputs(msg, stderr);
   if (++panicCount > 1) {
      if (panicCount == 2) {
         Log("%s", msg);
         Log("Panic loop\n");
      }
      std::fputs("Panic loop\n", stderr);
      std::_Exit(1);
   }
   Log("%s", msg);
   Log("Exiting\n");
   std::exit(-1);
}

const char *
Panic_SourcePath(const char *file)
{
   // Keep "lib/..." or "collector/..." and drop the extension; the result
   // lives in a small per-thread buffer.
   static thread_local char path[256];
   const char *start = file;
   for (const char *root : {"/lib/", "/collector/", "/tools/"}) {
      const char *at = std::strstr(file, root);
      if (at != nullptr) {
         start = at + 1;
         break;
      }
   }
   Str_Snprintf(path, sizeof path, "%s", start);
   char *dot = std::strrchr(path, '.');
   if (dot != nullptr && std::strchr(dot, '/') == nullptr) {
      *dot = '\0';
   }
   return path;
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
   char *p = strndup(bytes, length);
   if (p == nullptr) {
      AllocFailure(bugNr, file, line);
   }
   return p;
}
