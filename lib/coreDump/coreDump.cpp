// Backtraces and core images of a failing process; see coreDump.h.
#include "lib/coreDump/coreDump.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "lib/config/preference.h"
#include "lib/coreDump/coreDumpPlatform.h"
#include "lib/file/file.h"
#include "lib/log/log.h"
#include "lib/misc/hostinfo.h"
#include "lib/string/str.h"

namespace {

constexpr int COREDUMP_NUM_NAMES = 5;
constexpr int32_t COREDUMP_RESERVE_DEFAULT_KB = 6144;
constexpr int32_t COREDUMP_RESERVE_MAX_KB = 20480;

struct CoreDumpState {
   bool prepared = false;
   char *names[COREDUMP_NUM_NAMES] = {};  // candidate image files
   void *reserve = nullptr;
   size_t reserveBytes = 0;
};

CoreDumpState coreDump;

// Logs one line of at most 508 characters, ending it with "\n".
PRINTF_DECL(1, 2) void
CoreDumpLogLine(const char *format, ...)
{
   char line[509];
   va_list args;
   va_start(args, format);
   Str_Vsnprintf(line, sizeof line, format, args);
   va_end(args);
   size_t len = std::strlen(line);
   Log("%s%s", line, len > 0 && line[len - 1] == '\n' ? "" : "\n");
}

// "[module base ... section:offset]name + offset", or "???".
void
CoreDumpSymbolText(const CoreDumpFrame &frame, char *text, size_t size)
{
   CoreDumpSymbol symbol;
   if (!CoreDumpPlat_DescribeAddress(frame.ip, frame.afterCall, &symbol)) {
      Str_Snprintf(text, size, "???");
      return;
   }
   int len;
   if (symbol.haveModule) {
      len = Str_Snprintf(text, size, "[%s base %#010llx %#06x:%#010x]", symbol.modulePath,
                         (unsigned long long)symbol.moduleBase, symbol.section, symbol.offset);
   } else {
      len = Str_Snprintf(text, size, "[no module data]");
   }
   if (symbol.haveName && len >= 0) {
      Str_Snprintf(text + len, size - (size_t)len, "%s + %#06llx", symbol.name,
                   (unsigned long long)symbol.nameOffset);
   }
}

// The program's name without directory and extension.
void
CoreDumpProgramName(char *name, size_t size)
{
   char path[1024];
   if (!CoreDumpPlat_ProgramPath(path, sizeof path)) {
      Str_Snprintf(name, size, "%s", "core");
      return;
   }
   const char *start = std::strrchr(path, DIRSEPC);
   start = start == nullptr ? path : start + 1;
   Str_Snprintf(name, size, "%s", start);
   char *dot = std::strrchr(name, '.');
   if (dot != nullptr && dot != name) {
      *dot = '\0';
   }
}

void
CoreDumpReserve()
{
   int32_t kb = Preference_GetLong(COREDUMP_RESERVE_DEFAULT_KB, "panic.addrSpaceReservedKB");
   bool commit = Preference_GetBool(false, "panic.commitAddrSpaceReserved");
   if (kb > COREDUMP_RESERVE_MAX_KB) {
      kb = COREDUMP_RESERVE_MAX_KB;
   }
   if (kb <= 0) {
      return;
   }
   size_t page = CoreDumpPlat_PageSize();
   size_t bytes = ((size_t)kb * 1024 + page - 1) / page * page;
   coreDump.reserve = CoreDumpPlat_Reserve(bytes, commit);
   if (coreDump.reserve == nullptr) {
      return;
   }
   coreDump.reserveBytes = bytes;
   if (kb != COREDUMP_RESERVE_DEFAULT_KB) {
      Log("Reserved virtual address space for CoreDump(addr:%p, size:%zuKB)\n",
          coreDump.reserve, bytes / 1024);
   }
}

/*
 * Five distinct names that no file has yet: "<program>-<pid>.dmp" first,
 * then "<program>-<pid>-<n>.dmp" with n counting up across the candidates.
 */
void
CoreDumpChooseNames(const char *dir, const char *program)
{
   int pid = Hostinfo_ProcessId();
   bool plainTried = false;
   int counter = 0;
   for (int i = 0; i < COREDUMP_NUM_NAMES; i++) {
      char *name = nullptr;
      if (!plainTried) {
         plainTried = true;
         name = Str_Asprintf(nullptr, "%s" DIRSEPS "%s-%d.dmp", dir, program, pid);
      }
      while (name == nullptr || File_PathExists(name)) {
         std::free(name);
         name = Str_Asprintf(nullptr, "%s" DIRSEPS "%s-%d-%d.dmp", dir, program, pid,
                             counter++);
         if (name == nullptr) {
            return;  // no memory: fewer candidates
         }
      }
      coreDump.names[i] = name;
   }
}

// Tries the candidates in order with the captured registers.
void
CoreDumpWriteCandidates(const CoreDumpContext *context, void *)
{
   for (char *name : coreDump.names) {
      if (name == nullptr) {
         continue;
      }
      intptr_t file = CoreDumpPlat_CreateImageFile(name);
      if (file == -1) {
         Warning("CoreDump: Cannot open minidump file %s: %s\n", name,
                 CoreDumpPlat_ErrorText(CoreDumpPlat_LastError()));
         continue;
      }
      Warning("CoreDump: Writing minidump to %s\n", name);
      CoreDumpThreadReport threads = {};
      int err = CoreDumpPlat_WriteImage(file, context, &threads);
      CoreDumpPlat_CloseImageFile(file);
      if (err != 0) {
         Warning("Minidump failed: %s\n", CoreDumpPlat_ErrorText(err));
      } else if (threads.without > 0) {
         // Their stacks are in the image all the same.
         Warning("CoreDump: Registers of %d other threads unavailable (%s), %d written\n",
                 threads.without, CoreDumpPlat_ErrorText(threads.error),
                 threads.withRegisters);
      } else {
         Log("CoreDump: %d other threads with their registers\n", threads.withRegisters);
      }
      return;
   }
   Warning("CoreDump: No available minidump filename, quitting...\n");
}

}  // namespace

void
CoreDump_Backtrace()
{
   CoreDumpFrame frames[COREDUMP_MAX_FRAMES];
   int count = CoreDumpPlat_WalkStack(frames, COREDUMP_MAX_FRAMES);
   for (int i = 0; i < count; i++) {
      const CoreDumpFrame &f = frames[i];
      char symbol[400];
      CoreDumpSymbolText(f, symbol, sizeof symbol);
      CoreDumpLogLine("backtrace[%02d] frame %#010llx IP %#010llx params %#llx %#llx "
                      "%#llx %#llx %s\n",
                      i, (unsigned long long)f.frame, (unsigned long long)f.ip,
                      (unsigned long long)f.params[0], (unsigned long long)f.params[1],
                      (unsigned long long)f.params[2], (unsigned long long)f.params[3], symbol);
   }
}

void
CoreDump_Prepare()
{
   if (coreDump.prepared) {
      return;
   }
   coreDump.prepared = true;
   CoreDumpPlat_Prepare();
   CoreDumpReserve();
   char *dir = File_GetSafeTmpDir(true);
   if (dir == nullptr) {
      Warning("CoreDump: unable to determine app data path\n");
      return;
   }
   char program[256];
   CoreDumpProgramName(program, sizeof program);
   CoreDumpChooseNames(dir, program);
   std::free(dir);
}

void
CoreDump_CoreDump()
{
   CoreDump_Prepare();
   if (coreDump.reserve != nullptr) {
      // Give the writer room.
      CoreDumpPlat_Release(coreDump.reserve, coreDump.reserveBytes);
      coreDump.reserve = nullptr;
   }
   if (coreDump.names[0] == nullptr) {
      return;  // no directory, logged by the preparation
   }
   const char *why = nullptr;
   if (!CoreDumpPlat_ImageSupported(&why)) {
      Warning("CoreDump: %s\n", why);
      return;
   }
   Warning("%s: faking exception to get context\n", "CoreDump_CoreDump");
   CoreDumpPlat_WithContext(CoreDumpWriteCandidates, nullptr);
}
