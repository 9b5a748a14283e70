// POSIX back end of the core dump module: stack walk, symbols, reserve,
// files and the context capture; see coreDumpPlatform.h. The image writer
// is in coreDumpElfLinux.cpp.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>
#include <unwind.h>

#include "lib/coreDump/coreDumpPosix.h"
#include "lib/misc/hostinfo.h"
#include "lib/string/str.h"

namespace {

struct CoreDumpWalk {
   CoreDumpFrame *frames;
   int max;
   int count;
   int skip;  // frames of the walk itself
};

// The words at the frame address belong to other frames' stack slots,
// which AddressSanitizer may hold poisoned: read them unchecked.
__attribute__((no_sanitize_address)) void
CoreDumpReadParams(uint64_t cfa, uint64_t params[4])
{
   const volatile uint64_t *words = reinterpret_cast<const volatile uint64_t *>(cfa);
   for (int i = 0; i < 4; i++) {
      params[i] = words[i];
   }
}

_Unwind_Reason_Code
CoreDumpWalkFrame(struct _Unwind_Context *context, void *arg)
{
   CoreDumpWalk *walk = static_cast<CoreDumpWalk *>(arg);
   int beforeInsn = 0;
   uint64_t ip = _Unwind_GetIPInfo(context, &beforeInsn);
   uint64_t cfa = _Unwind_GetCFA(context);
   if (ip == 0 || cfa == 0) {
      return _URC_END_OF_STACK;
   }
   if (walk->skip > 0) {
      walk->skip--;
      return _URC_NO_REASON;
   }
   CoreDumpFrame &f = walk->frames[walk->count++];
   f.frame = cfa;
   f.ip = ip;
   f.afterCall = beforeInsn == 0;  // a signal frame holds the interrupted address
   CoreDumpReadParams(cfa, f.params);
   return walk->count < walk->max ? _URC_NO_REASON : _URC_END_OF_STACK;
}

struct CoreDumpSegmentSearch {
   uintptr_t address;
   uint32_t section;
   uint32_t offset;
   bool found;
};

// Finds the loaded segment (numbered from 1 among the PT_LOAD entries of
// its module) that holds the address.
int
CoreDumpFindSegment(struct dl_phdr_info *info, size_t, void *arg)
{
   CoreDumpSegmentSearch *search = static_cast<CoreDumpSegmentSearch *>(arg);
   uint32_t number = 0;
   for (int i = 0; i < info->dlpi_phnum; i++) {
      const ElfW(Phdr) &ph = info->dlpi_phdr[i];
      if (ph.p_type != PT_LOAD) {
         continue;
      }
      number++;
      uintptr_t start = info->dlpi_addr + ph.p_vaddr;
      if (search->address >= start && search->address - start < ph.p_memsz) {
         search->section = number;
         search->offset = (uint32_t)(search->address - start);
         search->found = true;
         return 1;
      }
   }
   return 0;
}

}  // namespace

void
CoreDumpPlat_Prepare()
{
   // Nothing to load: the unwinder and dladdr are part of the runtime.
}

int
CoreDumpPlat_WalkStack(CoreDumpFrame *frames, int max)
{
   CoreDumpWalk walk = {frames, max, 0, 1};
   if (max > 0) {
      _Unwind_Backtrace(CoreDumpWalkFrame, &walk);
   }
   return walk.count;
}

bool
CoreDumpPlat_DescribeAddress(uint64_t ip, bool returnAddress, CoreDumpSymbol *symbol)
{
   std::memset(symbol, 0, sizeof *symbol);
   uintptr_t lookup = (uintptr_t)ip - (returnAddress && ip > 0 ? 1 : 0);
   Dl_info info;
   if (dladdr(reinterpret_cast<void *>(lookup), &info) == 0) {
      return false;
   }
   if (info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
      symbol->haveModule = true;
      Str_Snprintf(symbol->modulePath, sizeof symbol->modulePath, "%s", info.dli_fname);
      symbol->moduleBase = (uintptr_t)info.dli_fbase;
      CoreDumpSegmentSearch search = {lookup, 0, 0, false};
      dl_iterate_phdr(CoreDumpFindSegment, &search);
      if (search.found) {
         symbol->section = search.section;
         // The segment offset of the address itself, not of the lookup.
         symbol->offset = search.offset + (uint32_t)((uintptr_t)ip - lookup);
      } else {
         symbol->offset = (uint32_t)((uintptr_t)ip - symbol->moduleBase);
      }
   }
   if (info.dli_sname != nullptr) {
      symbol->haveName = true;
      int status = 0;
      // Demangling allocates; without memory the raw name has to do.
      char *demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
      Str_Snprintf(symbol->name, sizeof symbol->name, "%s",
                   status == 0 && demangled != nullptr ? demangled : info.dli_sname);
      std::free(demangled);
      symbol->nameOffset = ip - (uintptr_t)info.dli_saddr;
   }
   return symbol->haveModule || symbol->haveName;
}

bool
CoreDumpPlat_ProgramPath(char *buf, size_t size)
{
   ssize_t n = readlink("/proc/self/exe", buf, size - 1);
   if (n <= 0) {
      return false;
   }
   buf[n] = '\0';
   return true;
}

void *
CoreDumpPlat_Reserve(size_t bytes, bool commit)
{
   // A committed reserve is charged against the system's commit limit as
   // writable memory, then closed; an uncommitted one is address space only.
   int flags = MAP_PRIVATE | MAP_ANONYMOUS | (commit ? 0 : MAP_NORESERVE);
   void *addr = mmap(nullptr, bytes, commit ? PROT_READ | PROT_WRITE : PROT_NONE, flags, -1, 0);
   if (addr == MAP_FAILED) {
      return nullptr;
   }
   if (commit) {
      mprotect(addr, bytes, PROT_NONE);
   }
   return addr;
}

void
CoreDumpPlat_Release(void *addr, size_t bytes)
{
   munmap(addr, bytes);
}

size_t
CoreDumpPlat_PageSize()
{
   return (size_t)sysconf(_SC_PAGESIZE);
}

int
CoreDumpPlat_LastError()
{
   return errno;
}

const char *
CoreDumpPlat_ErrorText(int err)
{
   static thread_local char text[128];
   return strerror_r(err, text, sizeof text);
}

__attribute__((noinline)) void
CoreDumpPlat_WithContext(void (*fn)(const CoreDumpContext *context, void *data), void *data)
{
   static CoreDumpContext context;  // large; one panicking thread at a time
   std::memset(&context, 0, sizeof context);
   getcontext(&context.uc);
#if defined(__x86_64__)
   asm volatile("mov %%fs:0, %0" : "=r"(context.fsBase));
#endif
   context.pid = Hostinfo_ProcessId();
   context.tid = gettid();
   context.ppid = getppid();
   fn(&context, data);
}

intptr_t
CoreDumpPlat_CreateImageFile(const char *path)
{
   return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

void
CoreDumpPlat_CloseImageFile(intptr_t file)
{
   close((int)file);
}
