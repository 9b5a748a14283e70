// Platform layer under the core dump module: walking the stack, naming
// code addresses, the address-space reserve, and writing a core image
// file. The POSIX back end (coreDumpPosix.cpp, coreDumpElfLinux.cpp)
// writes ELF core files; the Windows one (coreDumpWin32.cpp,
// symbolStackWin32.cpp) writes minidumps through the debug help library.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int COREDUMP_MAX_FRAMES = 32;

/*
 * Loads what the stack walk and the image writer need, once, so that a
 * program that prepares early has it before memory runs short.
 */
void CoreDumpPlat_Prepare();

struct CoreDumpFrame {
   uint64_t frame;      // frame address (canonical frame address)
   uint64_t ip;         // instruction address
   uint64_t params[4];  // the first four words at the frame address
   bool afterCall;      // ip is a return address, not an interrupted instruction
};

// Fills frames from the caller's frame outwards; returns how many.
int CoreDumpPlat_WalkStack(CoreDumpFrame *frames, int max);

// What is known about a code address; strings point into the record.
struct CoreDumpSymbol {
   bool haveModule;
   char modulePath[256];
   uint64_t moduleBase;
   uint32_t section;      // index of the module's loaded segment
   uint32_t offset;       // offset of the address within that segment
   bool haveName;
   char name[256];        // demangled symbol name
   uint64_t nameOffset;   // address minus the symbol's start
};

/*
 * Looks the address up. returnAddress: the address follows a call (the
 * symbol is looked up one byte before it, so that a call at the very end
 * of a function is named after that function). False when nothing is known.
 */
bool CoreDumpPlat_DescribeAddress(uint64_t ip, bool returnAddress, CoreDumpSymbol *symbol);

// The program's module path, or false.
bool CoreDumpPlat_ProgramPath(char *buf, size_t size);

// Address space that nothing can touch, committed or not; null on failure.
void *CoreDumpPlat_Reserve(size_t bytes, bool commit);
void CoreDumpPlat_Release(void *addr, size_t bytes);
size_t CoreDumpPlat_PageSize();

int CoreDumpPlat_LastError();
const char *CoreDumpPlat_ErrorText(int err);

/*
 * Whether core images can be written in this process; why not, otherwise:
 * the rest of a log line that follows "CoreDump: ".
 */
bool CoreDumpPlat_ImageSupported(const char **why);

// The calling thread's registers as they were at the capture.
struct CoreDumpContext;

/*
 * Captures the calling thread's registers and calls fn with them while the
 * captured frames are still live, as an exception handler would be called.
 */
void CoreDumpPlat_WithContext(void (*fn)(const CoreDumpContext *context, void *data),
                              void *data);

// Creates the file anew (it must not exist), for the owner alone; -1 on failure.
intptr_t CoreDumpPlat_CreateImageFile(const char *path);
void CoreDumpPlat_CloseImageFile(intptr_t file);

// What became of the process's other threads in an image.
struct CoreDumpThreadReport {
   int withRegisters;  // written with their registers
   int without;        // whose registers could not be had (their stacks are there)
   int error;          // the platform error that kept them out, when without > 0
};

// Writes the image; 0 or the platform error that stopped it.
int CoreDumpPlat_WriteImage(intptr_t file, const CoreDumpContext *context,
                            CoreDumpThreadReport *report);
