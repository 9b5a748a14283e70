// Win32 back end of the core dump module: the debug help library, the
// reserve, the files and the minidump; see coreDumpPlatform.h. The stack
// walk and the symbols are in symbolStackWin32.cpp.
#include "lib/coreDump/coreDumpWin32.h"

#include <cstdlib>
#include <cwchar>

#include "lib/misc/hostinfo.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"
#include "lib/string/str.h"

namespace {

// The code of the exception raised to have the registers as a handler sees them.
constexpr DWORD COREDUMP_FAKE_EXCEPTION = 0xCAFEBABE;

// Data segments and handle data.
constexpr MINIDUMP_TYPE COREDUMP_MINIDUMP_TYPE =
   (MINIDUMP_TYPE)(MiniDumpWithDataSegs | MiniDumpWithHandleData);

CoreDumpDebugHelp debugHelp;

template <typename Fn>
void
CoreDumpLookup(HMODULE module, const char *name, Fn *fn)
{
   *fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// From the system directory only: a copy beside the program is not trusted.
HMODULE
CoreDumpLoadFromSystem()
{
   wchar_t path[MAX_PATH + 16];
   UINT len = GetSystemDirectoryW(path, MAX_PATH);
   if (len == 0 || len >= MAX_PATH) {
      return nullptr;
   }
   std::wcscpy(path + len, L"\\dbghelp.dll");
   return LoadLibraryW(path);
}

void
CoreDumpLoadSymbols(CoreDumpDebugHelp &dh)
{
   CoreDumpLookup(dh.module, "SymInitialize", &dh.symInitialize);
   CoreDumpLookup(dh.module, "SymSetOptions", &dh.symSetOptions);
   CoreDumpLookup(dh.module, "SymFromAddr", &dh.symFromAddr);
   CoreDumpLookup(dh.module, "SymGetModuleBase64", &dh.symGetModuleBase64);
   CoreDumpLookup(dh.module, "SymFunctionTableAccess64", &dh.symFunctionTableAccess64);
   CoreDumpLookup(dh.module, "StackWalk64", &dh.stackWalk64);
   if (dh.symInitialize == nullptr || dh.symSetOptions == nullptr ||
       dh.symFromAddr == nullptr || dh.symGetModuleBase64 == nullptr ||
       dh.symFunctionTableAccess64 == nullptr || dh.stackWalk64 == nullptr) {
      dh.symInitialize = nullptr;
      return;
   }
   // Symbols of a module are read when first asked for; mingw's names are
   // demangled by the caller, not by the library.
   dh.symSetOptions(SYMOPT_DEFERRED_LOADS | SYMOPT_FAIL_CRITICAL_ERRORS);
   dh.symbolsReady = dh.symInitialize(GetCurrentProcess(), nullptr, TRUE) != FALSE;
}

// Counts the threads the writer puts into the image, with their registers.
struct CoreDumpThreadCount {
   DWORD self;
   int others;
   int othersEx;
};

BOOL CALLBACK
CoreDumpThreadCallback(PVOID param, const PMINIDUMP_CALLBACK_INPUT input,
                       PMINIDUMP_CALLBACK_OUTPUT output)
{
   CoreDumpThreadCount *count = static_cast<CoreDumpThreadCount *>(param);
   switch (input->CallbackType) {
   case ThreadCallback:
      count->others += input->Thread.ThreadId != count->self;
      return TRUE;
   case ThreadExCallback:
      count->othersEx += input->ThreadEx.ThreadId != count->self;
      return TRUE;
   case IncludeThreadCallback:
   case IncludeModuleCallback:
   case ModuleCallback:
      return TRUE;
   case CancelCallback:
      output->Cancel = FALSE;
      output->CheckCancel = FALSE;
      return TRUE;
   default:
      return FALSE;  // the writer's own choice
   }
}

// The fake exception's handler, and what it runs.
struct CoreDumpFake {
   void (*fn)(const CoreDumpContext *context, void *data);
   void *data;
   DWORD threadId;
   bool ran;
};

CoreDumpFake fake;  // one panicking thread at a time

LONG CALLBACK
CoreDumpFakeHandler(EXCEPTION_POINTERS *pointers)
{
   if (pointers->ExceptionRecord->ExceptionCode != COREDUMP_FAKE_EXCEPTION ||
       GetCurrentThreadId() != fake.threadId || fake.ran) {
      return EXCEPTION_CONTINUE_SEARCH;
   }
   fake.ran = true;
   CoreDumpContext context = {pointers, fake.threadId};
   fake.fn(&context, fake.data);
   return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

const CoreDumpDebugHelp &
CoreDumpDebugHelpLoad()
{
   static bool loaded = false;
   if (loaded) {
      return debugHelp;
   }
   loaded = true;
   UtilSavedError saved;
   debugHelp.module = CoreDumpLoadFromSystem();
   if (debugHelp.module == nullptr) {
      debugHelp.loadError = GetLastError();
   } else {
      CoreDumpLoadSymbols(debugHelp);
      CoreDumpLookup(debugHelp.module, "MiniDumpWriteDump", &debugHelp.miniDumpWriteDump);
      if (debugHelp.miniDumpWriteDump == nullptr) {
         debugHelp.lookupError = GetLastError();
      }
   }
   return debugHelp;
}

void
CoreDumpPlat_Prepare()
{
   CoreDumpDebugHelpLoad();
}

bool
CoreDumpPlat_ProgramPath(char *buf, size_t size)
{
   wchar_t path[32768];
   DWORD len = GetModuleFileNameW(nullptr, path, sizeof path / sizeof path[0]);
   if (len == 0 || len >= sizeof path / sizeof path[0]) {
      return false;
   }
   int n = WideCharToMultiByte(CP_UTF8, 0, path, -1, buf, (int)size, nullptr, nullptr);
   return n > 0;
}

void *
CoreDumpPlat_Reserve(size_t bytes, bool commit)
{
   // Committed memory is charged against the commit limit; inaccessible either way.
   return VirtualAlloc(nullptr, bytes, MEM_RESERVE | (commit ? MEM_COMMIT : 0), PAGE_NOACCESS);
}

void
CoreDumpPlat_Release(void *addr, size_t)
{
   VirtualFree(addr, 0, MEM_RELEASE);
}

size_t
CoreDumpPlat_PageSize()
{
   SYSTEM_INFO info;
   GetSystemInfo(&info);
   return info.dwPageSize;
}

int
CoreDumpPlat_LastError()
{
   return (int)GetLastError();
}

const char *
CoreDumpPlat_ErrorText(int err)
{
   static thread_local char text[512];
   wchar_t wide[256];
   DWORD len = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                              nullptr, (DWORD)err, 0, wide, sizeof wide / sizeof wide[0],
                              nullptr);
   // The system's texts end with a line break.
   while (len > 0 && (wide[len - 1] == L'\n' || wide[len - 1] == L'\r' || wide[len - 1] == L' ')) {
      len--;
   }
   int n = len == 0 ? 0
                    : WideCharToMultiByte(CP_UTF8, 0, wide, (int)len, text, sizeof text - 1,
                                          nullptr, nullptr);
   if (n <= 0) {
      Str_Snprintf(text, sizeof text, "Unknown error %d (%#x)", err, (unsigned)err);
      return text;
   }
   text[n] = '\0';
   return text;
}

bool
CoreDumpPlat_ImageSupported(const char **why)
{
   static char reason[400];
   const CoreDumpDebugHelp &dh = CoreDumpDebugHelpLoad();
   if (dh.miniDumpWriteDump != nullptr) {
      *why = nullptr;
      return true;
   }
   Str_Snprintf(reason, sizeof reason, "dbghelp.dll missing minidump support: %s",
                CoreDumpPlat_ErrorText((int)(dh.module == nullptr ? dh.loadError
                                                                  : dh.lookupError)));
   *why = reason;
   return false;
}

/*
 * Raises the fake exception and runs fn in a vectored handler, which
 * sees the registers as the raise left them and returns to go on after
 * it. Where no handler can be added, RtlCaptureContext's registers do.
 */
__attribute__((noinline)) void
CoreDumpPlat_WithContext(void (*fn)(const CoreDumpContext *context, void *data), void *data)
{
   fake = {fn, data, GetCurrentThreadId(), false};
   PVOID handler = AddVectoredExceptionHandler(1, CoreDumpFakeHandler);
   if (handler != nullptr) {
      RaiseException(COREDUMP_FAKE_EXCEPTION, 0, 0, nullptr);
      RemoveVectoredExceptionHandler(handler);
   }
   if (!fake.ran) {
      static CONTEXT registers;
      RtlCaptureContext(&registers);
      EXCEPTION_RECORD record = {};
      record.ExceptionCode = COREDUMP_FAKE_EXCEPTION;
      record.ExceptionAddress = reinterpret_cast<void *>(registers.Rip);
      EXCEPTION_POINTERS pointers = {&record, &registers};
      CoreDumpContext context = {&pointers, GetCurrentThreadId()};
      fake.ran = true;
      fn(&context, data);
   }
}

intptr_t
CoreDumpPlat_CreateImageFile(const char *path)
{
   UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(path));
   if (wide == nullptr) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return -1;
   }
   // The directory's permissions (the owner alone) are inherited.
   HANDLE file = CreateFileW(wide.get(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
   UtilSavedError creation;  // over the free
   wide.reset();
   return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(file);
}

void
CoreDumpPlat_CloseImageFile(intptr_t file)
{
   CloseHandle(reinterpret_cast<HANDLE>(file));
}

int
CoreDumpPlat_WriteImage(intptr_t file, const CoreDumpContext *context,
                        CoreDumpThreadReport *report)
{
   *report = {};
   const CoreDumpDebugHelp &dh = CoreDumpDebugHelpLoad();
   if (dh.miniDumpWriteDump == nullptr) {
      return ERROR_PROC_NOT_FOUND;
   }
   MINIDUMP_EXCEPTION_INFORMATION exception = {context->threadId, context->exception, FALSE};
   CoreDumpThreadCount count = {context->threadId, 0, 0};
   MINIDUMP_CALLBACK_INFORMATION callback = {CoreDumpThreadCallback, &count};
   if (!dh.miniDumpWriteDump(GetCurrentProcess(), (DWORD)Hostinfo_ProcessId(),
                             reinterpret_cast<HANDLE>(file), COREDUMP_MINIDUMP_TYPE, &exception,
                             nullptr, &callback)) {
      DWORD err = GetLastError();
      return err != 0 ? (int)err : ERROR_GEN_FAILURE;
   }
   // The writer reads every thread's registers itself: none is without.
   report->withRegisters = count.others > 0 ? count.others : count.othersEx;
   return 0;
}
