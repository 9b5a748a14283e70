// The core image of the Linux back end: an ELF core file that a debugger
// loads beside the program.
//
// The image is written by a forked child, which holds a copy-on-write
// snapshot of the parent's memory as it was at the fork, while the parent
// waits. Another thread of the parent may have held the allocator's lock
// at that moment, so the child allocates nothing: it works in static
// buffers and makes system calls only, and ends with _exit.
//
// The registers of the other threads are read by the same child: the
// parent lets it trace the process (PR_SET_PTRACER) and waits; the child
// stops each other thread, reads its registers and leaves it stopped until
// it ends. Where tracing is refused the image holds the panicking thread's
// registers only, and the parent's report says so.
//
// Contents: a PT_NOTE segment (registers of the panicking thread, process
// information, the auxiliary vector, the mapped files, then the registers
// of every other thread) and one PT_LOAD
// segment per piece of memory that the program itself produced:
// - anonymous private mappings (heap, stacks, bss) whole, with the pages
//   never touched left as holes of the sparse file;
// - file-backed private mappings only where the process has changed them
//   (relocated data, written .data pages); the rest is in the files.
// Mappings the kernel provides for its own use ([vvar], [vsyscall]), closed
// ones, shared ones and huge reservations (the shadow memory of the
// sanitizers) are left out.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <dirent.h>
#include <sys/prctl.h>
#include <sys/procfs.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/coreDump/coreDumpPosix.h"
#include "lib/misc/platFault.h"
#include "lib/misc/utilScoped.h"

namespace {

constexpr uint64_t CORE_MAX_MAPPING = 1ULL << 34;  // 16 GiB; larger is a reservation
constexpr int CORE_MAX_MAPPINGS = 4096;
constexpr int CORE_MAX_SEGMENTS = 16384;
constexpr size_t CORE_FILE_NOTE_MAX = 256 * 1024;
constexpr size_t CORE_PAGEMAP_CHUNK = 4096;   // entries read at a time
constexpr size_t CORE_MAX_WRITE = 1 << 20;    // bytes per write
constexpr int CORE_MAX_THREADS = 512;         // other threads with registers

// Bits of a /proc/<pid>/pagemap entry.
constexpr uint64_t PAGEMAP_PRESENT = 1ULL << 63;
constexpr uint64_t PAGEMAP_SWAPPED = 1ULL << 62;
constexpr uint64_t PAGEMAP_FILE = 1ULL << 61;  // a file page, not a private copy

struct CoreMapping {
   uint64_t start;
   uint64_t end;
   uint64_t fileOffset;
   uint32_t flags;    // PF_R, PF_W, PF_X
   bool anonymous;
   bool dumped;       // some of it goes into the image
   bool fileBacked;   // listed in the NT_FILE note
   bool whole;        // dumped whole, whatever the pagemap says (vdso)
   uint32_t nameOffset;
   uint32_t nameLength;
};

struct CoreSegment {
   uint64_t start;
   uint64_t end;
   uint32_t flags;
   bool sparse;       // only the pages in memory are written
};

// One other thread of the process, as the child found it.
struct CoreThread {
   pid_t tid;
   user_regs_struct regs;
   user_fpregs_struct fpregs;
   bool haveFpregs;
};

// All of it is touched by the child alone.
struct CoreImage {
   CoreThread threads[CORE_MAX_THREADS];
   int numThreads;
   alignas(dirent64) char dirents[16 * 1024];  // records are aligned within it
   int fd;
   size_t pageSize;
   int pagemapFd;
   CoreMapping mappings[CORE_MAX_MAPPINGS];
   int numMappings;
   char names[64 * 1024];        // paths of the mappings
   size_t namesUsed;
   CoreSegment segments[CORE_MAX_SEGMENTS];
   int numSegments;
   char lineBuf[64 * 1024];
   uint64_t pagemap[CORE_PAGEMAP_CHUNK];
   char auxv[4096];
   size_t auxvSize;
   char fileNote[CORE_FILE_NOTE_MAX];
   size_t fileNoteSize;
   char cmdline[256];
   size_t cmdlineSize;
};

CoreImage image;

// System calls that no sanitizer intercepts: the child reads memory of
// every kind on the kernel's side, none of it through our own code.
ssize_t
CoreRawPwrite(int fd, const void *buf, size_t len, uint64_t offset)
{
   return syscall(SYS_pwrite64, fd, buf, len, (off_t)offset);
}

int
CoreWriteAll(const void *buf, size_t len, uint64_t offset)
{
   const char *p = static_cast<const char *>(buf);
   while (len > 0) {
      ssize_t n = Util_RetryOnEintr([&] { return CoreRawPwrite(image.fd, p, len, offset); });
      if (n <= 0) {
         return n < 0 ? errno : EIO;
      }
      p += n;
      len -= (size_t)n;
      offset += (uint64_t)n;
   }
   return 0;
}

size_t
CoreReadFile(const char *path, char *buf, size_t size)
{
   UtilFd fd(open(path, O_RDONLY | O_CLOEXEC));
   if (!fd) {
      return 0;
   }
   size_t used = 0;
   while (used < size) {
      ssize_t n = Util_RetryOnEintr([&] { return read(fd.Get(), buf + used, size - used); });
      if (n <= 0) {
         break;
      }
      used += (size_t)n;
   }
   return used;
}

uint64_t
CoreParseHex(const char **p)
{
   uint64_t v = 0;
   for (;; (*p)++) {
      char c = **p;
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (d < 0) {
         return v;
      }
      v = v << 4 | (uint64_t)d;
   }
}

void
CoreSkipField(const char **p)
{
   while (**p != ' ' && **p != '\0') {
      (*p)++;
   }
   while (**p == ' ') {
      (*p)++;
   }
}

bool
CoreNameIs(const char *name, size_t len, const char *what)
{
   return std::strlen(what) == len && std::memcmp(name, what, len) == 0;
}

// One line of /proc/self/maps: "start-end perms offset dev inode path".
void
CoreParseMapping(const char *line)
{
   if (image.numMappings == CORE_MAX_MAPPINGS) {
      return;
   }
   const char *p = line;
   uint64_t start = CoreParseHex(&p);
   p++;  // '-'
   uint64_t end = CoreParseHex(&p);
   p++;
   const char *perms = p;
   CoreSkipField(&p);
   uint64_t offset = CoreParseHex(&p);
   CoreSkipField(&p);
   CoreSkipField(&p);  // device
   bool hasInode = *p != '0';
   CoreSkipField(&p);  // inode
   const char *name = p;
   size_t nameLen = std::strlen(name);

   bool readable = perms[0] == 'r';
   bool isPrivate = perms[3] == 'p';
   bool kernelOwned = CoreNameIs(name, nameLen, "[vvar]") ||
                      CoreNameIs(name, nameLen, "[vvar_vclock]") ||
                      CoreNameIs(name, nameLen, "[vsyscall]");
   CoreMapping &m = image.mappings[image.numMappings];
   m.start = start;
   m.end = end;
   m.fileOffset = offset;
   m.flags = (readable ? PF_R : 0) | (perms[1] == 'w' ? PF_W : 0) | (perms[2] == 'x' ? PF_X : 0);
   m.anonymous = !hasInode;
   m.fileBacked = hasInode && nameLen > 0 && name[0] == '/';
   m.whole = CoreNameIs(name, nameLen, "[vdso]");
   m.dumped = readable && (isPrivate || m.whole) && !kernelOwned &&
              end - start <= CORE_MAX_MAPPING;
   m.nameOffset = 0;
   m.nameLength = 0;
   if (m.fileBacked && image.namesUsed + nameLen + 1 <= sizeof image.names) {
      m.nameOffset = (uint32_t)image.namesUsed;
      m.nameLength = (uint32_t)nameLen;
      std::memcpy(image.names + image.namesUsed, name, nameLen + 1);
      image.namesUsed += nameLen + 1;
   } else {
      m.fileBacked = false;
   }
   image.numMappings++;
}

bool
CoreReadMappings()
{
   UtilFd fd(open("/proc/self/maps", O_RDONLY | O_CLOEXEC));
   if (!fd) {
      return false;
   }
   size_t used = 0;
   for (;;) {
      ssize_t n = Util_RetryOnEintr(
         [&] { return read(fd.Get(), image.lineBuf + used, sizeof image.lineBuf - 1 - used); });
      if (n <= 0) {
         break;
      }
      used += (size_t)n;
      image.lineBuf[used] = '\0';
      char *line = image.lineBuf;
      char *nl;
      while ((nl = std::strchr(line, '\n')) != nullptr) {
         *nl = '\0';
         CoreParseMapping(line);
         line = nl + 1;
      }
      used = (size_t)(image.lineBuf + used - line);
      std::memmove(image.lineBuf, line, used);
   }
   return image.numMappings > 0;
}

// The pagemap entry of each page from addr on, count at most
// CORE_PAGEMAP_CHUNK; unreadable entries read as absent.
void
CoreReadPagemap(uint64_t addr, size_t count)
{
   size_t bytes = count * sizeof(uint64_t);
   ssize_t n = pread(image.pagemapFd, image.pagemap, bytes,
                     (off_t)(addr / image.pageSize * sizeof(uint64_t)));
   size_t got = n > 0 ? (size_t)n / sizeof(uint64_t) : 0;
   std::memset(image.pagemap + got, 0, (count - got) * sizeof(uint64_t));
}

bool
CorePageWanted(uint64_t entry, bool anonymous)
{
   if ((entry & PAGEMAP_SWAPPED) != 0) {
      return true;
   }
   return (entry & PAGEMAP_PRESENT) != 0 && (anonymous || (entry & PAGEMAP_FILE) == 0);
}

void
CoreAddSegment(uint64_t start, uint64_t end, uint32_t flags, bool sparse)
{
   if (image.numSegments < CORE_MAX_SEGMENTS) {
      image.segments[image.numSegments++] = {start, end, flags, sparse};
   }
}

// Segments: anonymous mappings whole (sparse), changed runs of file-backed ones.
void
CoreChooseSegments()
{
   for (int i = 0; i < image.numMappings; i++) {
      const CoreMapping &m = image.mappings[i];
      if (!m.dumped) {
         continue;
      }
      if (m.whole) {
         CoreAddSegment(m.start, m.end, m.flags, false);
         continue;
      }
      if (m.anonymous) {
         CoreAddSegment(m.start, m.end, m.flags, true);
         continue;
      }
      uint64_t runStart = 0;
      bool inRun = false;
      for (uint64_t addr = m.start; addr < m.end;) {
         size_t count = (size_t)((m.end - addr) / image.pageSize);
         count = count < CORE_PAGEMAP_CHUNK ? count : CORE_PAGEMAP_CHUNK;
         CoreReadPagemap(addr, count);
         for (size_t k = 0; k < count; k++, addr += image.pageSize) {
            bool wanted = CorePageWanted(image.pagemap[k], false);
            if (wanted && !inRun) {
               runStart = addr;
               inRun = true;
            } else if (!wanted && inRun) {
               CoreAddSegment(runStart, addr, m.flags, false);
               inRun = false;
            }
         }
      }
      if (inRun) {
         CoreAddSegment(runStart, m.end, m.flags, false);
      }
   }
}

// Writes [start, end) of memory at offset; an unreadable piece stays a hole.
int
CoreWriteMemory(uint64_t start, uint64_t end, uint64_t offset)
{
   while (start < end) {
      size_t len = (size_t)(end - start < CORE_MAX_WRITE ? end - start : CORE_MAX_WRITE);
      int err = CoreWriteAll(reinterpret_cast<const void *>(start), len, offset);
      if (err != 0 && err != EFAULT) {
         return err;
      }
      start += len;
      offset += len;
   }
   return 0;
}

int
CoreWriteSegment(const CoreSegment &s, uint64_t offset)
{
   if (!s.sparse) {
      return CoreWriteMemory(s.start, s.end, offset);
   }
   for (uint64_t addr = s.start; addr < s.end;) {
      size_t count = (size_t)((s.end - addr) / image.pageSize);
      count = count < CORE_PAGEMAP_CHUNK ? count : CORE_PAGEMAP_CHUNK;
      CoreReadPagemap(addr, count);
      size_t k = 0;
      while (k < count) {
         if (!CorePageWanted(image.pagemap[k], true)) {
            k++;
            continue;
         }
         size_t first = k;
         while (k < count && CorePageWanted(image.pagemap[k], true)) {
            k++;
         }
         uint64_t from = addr + first * image.pageSize;
         int err = CoreWriteMemory(from, addr + k * image.pageSize, offset + (from - s.start));
         if (err != 0) {
            return err;
         }
      }
      addr += count * image.pageSize;
   }
   return 0;
}

// NT_FILE: count, page size, (start, end, offset in pages) per file, names.
void
CoreBuildFileNote()
{
   uint64_t count = 0;
   size_t namesSize = 0;
   for (int i = 0; i < image.numMappings; i++) {
      if (image.mappings[i].fileBacked) {
         count++;
         namesSize += image.mappings[i].nameLength + 1;
      }
   }
   size_t need = 2 * sizeof(uint64_t) + count * 3 * sizeof(uint64_t) + namesSize;
   if (count == 0 || need > sizeof image.fileNote) {
      image.fileNoteSize = 0;
      return;
   }
   uint64_t *words = reinterpret_cast<uint64_t *>(image.fileNote);
   *words++ = count;
   *words++ = image.pageSize;
   char *names = image.fileNote + 2 * sizeof(uint64_t) + count * 3 * sizeof(uint64_t);
   for (int i = 0; i < image.numMappings; i++) {
      const CoreMapping &m = image.mappings[i];
      if (!m.fileBacked) {
         continue;
      }
      *words++ = m.start;
      *words++ = m.end;
      *words++ = m.fileOffset / image.pageSize;
      std::memcpy(names, image.names + m.nameOffset, m.nameLength + 1);
      names += m.nameLength + 1;
   }
   image.fileNoteSize = need;
}

size_t
CoreNoteSize(size_t descSize)
{
   return sizeof(Elf64_Nhdr) + 8 /* "CORE" padded */ + ((descSize + 3) & ~(size_t)3);
}

int
CoreWriteNote(uint32_t type, const void *desc, size_t descSize, uint64_t *offset)
{
   Elf64_Nhdr header = {5, (Elf64_Word)descSize, type};
   char name[8] = "CORE";
   static const char zeros[4] = {};
   int err = CoreWriteAll(&header, sizeof header, *offset);
   if (err == 0) {
      err = CoreWriteAll(name, sizeof name, *offset + sizeof header);
   }
   if (err == 0 && descSize > 0) {
      err = CoreWriteAll(desc, descSize, *offset + sizeof header + sizeof name);
   }
   size_t pad = ((descSize + 3) & ~(size_t)3) - descSize;
   if (err == 0 && pad > 0) {
      err = CoreWriteAll(zeros, pad, *offset + sizeof header + sizeof name + descSize);
   }
   *offset += CoreNoteSize(descSize);
   return err;
}

void
CoreFillStatus(const CoreDumpContext *context, elf_prstatus *status)
{
   std::memset(status, 0, sizeof *status);
   status->pr_info.si_signo = SIGABRT;  // the program ended itself
   status->pr_cursig = SIGABRT;
   // The C library's fork has put the child's thread id into the thread's
   // descriptor, which is part of the image: a debugger matches the
   // registers to the thread by that id, so the image names the thread by
   // it too (the process id in NT_PRPSINFO stays the real one).
   status->pr_pid = gettid();
   status->pr_ppid = context->ppid;
   status->pr_pgrp = getpgrp();
   status->pr_sid = getsid(0);
#if defined(__x86_64__)
   const greg_t *g = context->uc.uc_mcontext.gregs;
   user_regs_struct *r = reinterpret_cast<user_regs_struct *>(&status->pr_reg);
   r->r15 = g[REG_R15];
   r->r14 = g[REG_R14];
   r->r13 = g[REG_R13];
   r->r12 = g[REG_R12];
   r->rbp = g[REG_RBP];
   r->rbx = g[REG_RBX];
   r->r11 = g[REG_R11];
   r->r10 = g[REG_R10];
   r->r9 = g[REG_R9];
   r->r8 = g[REG_R8];
   r->rax = g[REG_RAX];
   r->rcx = g[REG_RCX];
   r->rdx = g[REG_RDX];
   r->rsi = g[REG_RSI];
   r->rdi = g[REG_RDI];
   r->orig_rax = (unsigned long long)-1;
   r->rip = g[REG_RIP];
   r->eflags = g[REG_EFL];
   r->rsp = g[REG_RSP];
   r->cs = 0x33;  // the user code and stack selectors of x86-64 Linux
   r->ss = 0x2b;
   r->fs_base = context->fsBase;
#endif
}

void
CoreFillPsinfo(const CoreDumpContext *context, elf_prpsinfo *info)
{
   std::memset(info, 0, sizeof *info);
   info->pr_sname = 'R';
   info->pr_uid = getuid();
   info->pr_gid = getgid();
   info->pr_pid = context->pid;
   info->pr_ppid = context->ppid;
   info->pr_pgrp = getpgrp();
   info->pr_sid = getsid(0);
   char comm[32];
   size_t n = CoreReadFile("/proc/self/comm", comm, sizeof comm - 1);
   while (n > 0 && comm[n - 1] == '\n') {
      n--;
   }
   std::memcpy(info->pr_fname, comm, n < sizeof info->pr_fname ? n : sizeof info->pr_fname - 1);
   size_t args = image.cmdlineSize < sizeof info->pr_psargs - 1 ? image.cmdlineSize
                                                                : sizeof info->pr_psargs - 1;
   for (size_t i = 0; i < args; i++) {
      info->pr_psargs[i] = image.cmdline[i] == '\0' ? ' ' : image.cmdline[i];
   }
   while (args > 0 && info->pr_psargs[args - 1] == ' ') {
      info->pr_psargs[--args] = '\0';
   }
}

// The child's account of the other threads, sent to the parent.
struct CoreThreadCount {
   int32_t withRegisters;
   int32_t without;
   int32_t error;
};

// Writes v in decimal at out, NUL-terminated; returns the end.
char *
CoreFormatDecimal(char *out, unsigned long v)
{
   char digits[24];
   int n = 0;
   do {
      digits[n++] = (char)('0' + v % 10);
      v /= 10;
   } while (v != 0);
   while (n > 0) {
      *out++ = digits[--n];
   }
   *out = '\0';
   return out;
}

// Stops one thread of the parent and reads its registers into the next
// slot; 0 or the error. The thread stays stopped until the child ends.
int
CoreCaptureThread(pid_t tid)
{
   if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0 ||
       ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) != 0) {
      return errno;
   }
   int status = 0;
   if (Util_RetryOnEintr([&] { return waitpid(tid, &status, __WALL); }) < 0) {
      return errno;
   }
   if (!WIFSTOPPED(status)) {
      return ESRCH;  // it ended meanwhile
   }
   CoreThread &t = image.threads[image.numThreads];
   struct iovec iov = {&t.regs, sizeof t.regs};
   if (ptrace(PTRACE_GETREGSET, tid, reinterpret_cast<void *>(NT_PRSTATUS), &iov) != 0) {
      return errno;
   }
   iov = {&t.fpregs, sizeof t.fpregs};
   t.haveFpregs =
      ptrace(PTRACE_GETREGSET, tid, reinterpret_cast<void *>(NT_PRFPREG), &iov) == 0;
   t.tid = tid;
   image.numThreads++;
   return 0;
}

// Every thread of the parent but the panicking one, from its task list.
void
CoreCaptureThreads(const CoreDumpContext *context, int refused, CoreThreadCount *count)
{
   char path[64] = "/proc/";
   std::memcpy(CoreFormatDecimal(path + 6, (unsigned long)context->pid), "/task", 6);
   UtilFd dir(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
   if (!dir) {
      count->without = 1;  // at least one: the caller only knows something is missing
      count->error = errno;
      return;
   }
   long n;
   while ((n = syscall(SYS_getdents64, dir.Get(), image.dirents, sizeof image.dirents)) > 0) {
      for (long at = 0; at < n;) {
         const dirent64 *d = reinterpret_cast<const dirent64 *>(image.dirents + at);
         at += d->d_reclen;
         long tid = 0;
         for (const char *c = d->d_name; *c >= '0' && *c <= '9'; c++) {
            tid = tid * 10 + (*c - '0');
         }
         if (tid <= 0 || tid == context->tid) {
            continue;
         }
         int err = refused;
         if (err == 0) {
            err = image.numThreads < CORE_MAX_THREADS ? CoreCaptureThread((pid_t)tid) : ENOSPC;
         }
         if (err == 0) {
            count->withRegisters++;
         } else {
            count->without++;
            count->error = err;
         }
      }
   }
}

void
CoreFillThreadStatus(const CoreThread &t, const CoreDumpContext *context, elf_prstatus *status)
{
   std::memset(status, 0, sizeof *status);
   status->pr_pid = t.tid;
   status->pr_ppid = context->ppid;
   status->pr_pgrp = getpgrp();
   status->pr_sid = getsid(0);
   static_assert(sizeof status->pr_reg == sizeof t.regs, "register layouts differ");
   std::memcpy(&status->pr_reg, &t.regs, sizeof t.regs);
}

size_t
CoreThreadNotesSize()
{
   size_t size = 0;
   for (int i = 0; i < image.numThreads; i++) {
      size += CoreNoteSize(sizeof(elf_prstatus));
      if (image.threads[i].haveFpregs) {
         size += CoreNoteSize(sizeof(user_fpregs_struct));
      }
   }
   return size;
}

// NT_PRSTATUS and NT_PRFPREG of each other thread, after the notes of the
// panicking thread, which a debugger takes for the current one.
int
CoreWriteThreadNotes(const CoreDumpContext *context, uint64_t *noteAt)
{
   static elf_prstatus status;
   int err = 0;
   for (int i = 0; i < image.numThreads && err == 0; i++) {
      const CoreThread &t = image.threads[i];
      CoreFillThreadStatus(t, context, &status);
      err = CoreWriteNote(NT_PRSTATUS, &status, sizeof status, noteAt);
      if (err == 0 && t.haveFpregs) {
         err = CoreWriteNote(NT_PRFPREG, &t.fpregs, sizeof t.fpregs, noteAt);
      }
   }
   return err;
}

// Everything the image is made of that is read before writing: the
// mappings and the segments chosen from them, the auxiliary vector, the
// command line and the mapped-files note.
int
CoreReadProcess()
{
   image.pageSize = (size_t)sysconf(_SC_PAGESIZE);
   if (!CoreReadMappings()) {
      return errno != 0 ? errno : EIO;
   }
   image.pagemapFd = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
   if (image.pagemapFd < 0) {
      return errno;
   }
   CoreChooseSegments();
   image.auxvSize = CoreReadFile("/proc/self/auxv", image.auxv, sizeof image.auxv);
   image.cmdlineSize = CoreReadFile("/proc/self/cmdline", image.cmdline, sizeof image.cmdline);
   CoreBuildFileNote();
   return 0;
}

// The notes of the panicking thread and the process. Static, not on the
// stack: the fatal path may run on a small signal stack.
struct CoreMainNotes {
   elf_prstatus status;
   elf_prpsinfo psinfo;
   const void *fpregs;
   size_t fpregsSize;
};

void
CoreFillMainNotes(const CoreDumpContext *context, CoreMainNotes *notes)
{
   CoreFillStatus(context, &notes->status);
   CoreFillPsinfo(context, &notes->psinfo);
#if defined(__x86_64__)
   notes->fpregs = context->uc.uc_mcontext.fpregs;
   notes->fpregsSize = notes->fpregs != nullptr ? sizeof(user_fpregs_struct) : 0;
#else
   notes->fpregs = nullptr;
   notes->fpregsSize = 0;
#endif
}

size_t
CoreNotesSize(const CoreMainNotes &notes)
{
   return CoreNoteSize(sizeof notes.status) + CoreNoteSize(sizeof notes.psinfo) +
          (notes.fpregsSize > 0 ? CoreNoteSize(notes.fpregsSize) : 0) +
          (image.auxvSize > 0 ? CoreNoteSize(image.auxvSize) : 0) +
          (image.fileNoteSize > 0 ? CoreNoteSize(image.fileNoteSize) : 0) +
          CoreThreadNotesSize();
}

int
CoreWriteElfHeader(int numHeaders)
{
   Elf64_Ehdr eh;
   std::memset(&eh, 0, sizeof eh);
   std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
   eh.e_ident[EI_CLASS] = ELFCLASS64;
   eh.e_ident[EI_DATA] = ELFDATA2LSB;
   eh.e_ident[EI_VERSION] = EV_CURRENT;
   eh.e_ident[EI_OSABI] = ELFOSABI_NONE;
   eh.e_type = ET_CORE;
   eh.e_machine = EM_X86_64;
   eh.e_version = EV_CURRENT;
   eh.e_phoff = sizeof eh;
   eh.e_ehsize = sizeof eh;
   eh.e_phentsize = sizeof(Elf64_Phdr);
   eh.e_phnum = (Elf64_Half)numHeaders;
   return CoreWriteAll(&eh, sizeof eh, 0);
}

// The note header, then one load header per segment, whose data follows
// from dataOffset on; *totalSize receives the end of the last segment.
int
CoreWriteProgramHeaders(uint64_t notesOffset, size_t notesSize, uint64_t dataOffset,
                        uint64_t *totalSize)
{
   Elf64_Phdr ph;
   std::memset(&ph, 0, sizeof ph);
   ph.p_type = PT_NOTE;
   ph.p_offset = notesOffset;
   ph.p_filesz = notesSize;
   uint64_t at = sizeof(Elf64_Ehdr);
   int err = CoreWriteAll(&ph, sizeof ph, at);
   at += sizeof ph;
   uint64_t offset = dataOffset;
   for (int i = 0; i < image.numSegments && err == 0; i++) {
      const CoreSegment &s = image.segments[i];
      std::memset(&ph, 0, sizeof ph);
      ph.p_type = PT_LOAD;
      ph.p_flags = s.flags;
      ph.p_offset = offset;
      ph.p_vaddr = s.start;
      ph.p_filesz = s.end - s.start;
      ph.p_memsz = s.end - s.start;
      ph.p_align = image.pageSize;
      err = CoreWriteAll(&ph, sizeof ph, at);
      at += sizeof ph;
      offset += s.end - s.start;
   }
   *totalSize = offset;
   return err;
}

int
CoreWriteNotes(const CoreDumpContext *context, const CoreMainNotes &notes, uint64_t noteAt)
{
   int err = CoreWriteNote(NT_PRSTATUS, &notes.status, sizeof notes.status, &noteAt);
   if (err == 0) {
      err = CoreWriteNote(NT_PRPSINFO, &notes.psinfo, sizeof notes.psinfo, &noteAt);
   }
   if (err == 0 && notes.fpregsSize > 0) {
      err = CoreWriteNote(NT_PRFPREG, notes.fpregs, notes.fpregsSize, &noteAt);
   }
   if (err == 0 && image.auxvSize > 0) {
      err = CoreWriteNote(NT_AUXV, image.auxv, image.auxvSize, &noteAt);
   }
   if (err == 0 && image.fileNoteSize > 0) {
      err = CoreWriteNote(NT_FILE, image.fileNote, image.fileNoteSize, &noteAt);
   }
   if (err == 0) {
      err = CoreWriteThreadNotes(context, &noteAt);
   }
   return err;
}

// The segments' memory from dataOffset on, and the file cut to totalSize.
int
CoreWriteSegments(uint64_t dataOffset, uint64_t totalSize)
{
   int err = 0;
   uint64_t offset = dataOffset;
   for (int i = 0; i < image.numSegments && err == 0; i++) {
      err = CoreWriteSegment(image.segments[i], offset);
      offset += image.segments[i].end - image.segments[i].start;
   }
   if (err == 0 && ftruncate(image.fd, (off_t)totalSize) != 0) {
      err = errno;
   }
   return err;
}

int
CoreWriteImage(const CoreDumpContext *context)
{
   int err = CoreReadProcess();
   if (err != 0) {
      return err;
   }
   static CoreMainNotes notes;
   CoreFillMainNotes(context, &notes);
   size_t notesSize = CoreNotesSize(notes);
   int numHeaders = 1 + image.numSegments;
   uint64_t notesOffset = sizeof(Elf64_Ehdr) + numHeaders * sizeof(Elf64_Phdr);
   uint64_t dataOffset = (notesOffset + notesSize + image.pageSize - 1) / image.pageSize *
                         image.pageSize;
   uint64_t totalSize = 0;
   err = CoreWriteElfHeader(numHeaders);
   if (err == 0) {
      err = CoreWriteProgramHeaders(notesOffset, notesSize, dataOffset, &totalSize);
   }
   if (err == 0) {
      err = CoreWriteNotes(context, notes, notesOffset);
   }
   if (err == 0) {
      err = CoreWriteSegments(dataOffset, totalSize);
   }
   return err;
}

// Runs in the child: reads the other threads' registers once the parent
// allows it, reports to the parent, writes the image and ends.
[[noreturn]] void
CoreImageChild(int go, int back, int refused, intptr_t file, const CoreDumpContext *context)
{
   char byte;
   Util_RetryOnEintr([&] { return read(go, &byte, 1); });
   CoreThreadCount count = {};
   CoreCaptureThreads(context, refused, &count);
   Util_RetryOnEintr([&] { return write(back, &count, sizeof count); });
   image.fd = (int)file;
   errno = 0;
   _exit(CoreWriteImage(context) & 0xff);
}

// Waits for the child; its exit status is the image's error.
int
CoreWaitForChild(pid_t child)
{
   int status = 0;
   if (Util_RetryOnEintr([&] { return waitpid(child, &status, 0); }) < 0) {
      // ECHILD: reaped elsewhere (SIGCHLD ignored), nothing to tell.
      return errno == ECHILD ? 0 : errno;
   }
   return WIFEXITED(status) ? WEXITSTATUS(status) : EIO;
}

}  // namespace

bool
CoreDumpPlat_ImageSupported(const char **why)
{
#if defined(__x86_64__)
   *why = nullptr;
   return true;
#else
   *why = "No core image: no register layout for this processor";
   return false;
#endif
}

int
CoreDumpPlat_WriteImage(intptr_t file, const CoreDumpContext *context,
                        CoreDumpThreadReport *report)
{
   *report = {};
   int refused = PlatFault_Check(PLAT_PTRACE);  // asked here: the child takes no lock
   int go[2];
   int back[2];
   if (pipe2(go, O_CLOEXEC) != 0) {
      return errno;
   }
   UtilFd goRead(go[0]), goWrite(go[1]);
   if (pipe2(back, O_CLOEXEC) != 0) {
      return errno;
   }
   UtilFd backRead(back[0]), backWrite(back[1]);
   pid_t child = fork();
   if (child == 0) {
      goWrite.Reset();
      backRead.Reset();
      CoreImageChild(goRead.Get(), backWrite.Get(), refused, file, context);
   }
   int forkError = child < 0 ? errno : 0;
   goRead.Reset();
   backWrite.Reset();
   if (child > 0) {
      // Where tracing is restricted to descendants, name the child as the
      // one process that may trace this one (elsewhere this fails harmlessly).
      prctl(PR_SET_PTRACER, (unsigned long)child, 0, 0, 0);
   }
   char byte = 1;
   if (child > 0) {
      Util_RetryOnEintr([&] { return write(goWrite.Get(), &byte, 1); });
   }
   goWrite.Reset();
   int err = child > 0 ? CoreWaitForChild(child) : forkError;
   prctl(PR_SET_PTRACER, 0, 0, 0, 0);
   CoreThreadCount count = {};
   if (child > 0 && read(backRead.Get(), &count, sizeof count) == (ssize_t)sizeof count) {
      report->withRegisters = count.withRegisters;
      report->without = count.without;
      report->error = count.error;
   }
   return err;
}
