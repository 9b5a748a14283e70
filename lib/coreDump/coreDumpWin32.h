// What the two files of the Win32 back end share: the debug help
// library, loaded at run time from the system directory (a program may run
// where it is missing or lacks the minidump writer), and the captured
// context.
#pragma once

#include <windows.h>
// dbghelp.h after windows.h, which it relies on.
#include <dbghelp.h>

#include "lib/coreDump/coreDumpPlatform.h"

struct CoreDumpDebugHelp {
   HMODULE module;  // null: the library could not be loaded
   DWORD loadError;
   // The stack walk and symbols; all null when any of them is missing.
   decltype(&SymInitialize) symInitialize;
   decltype(&SymSetOptions) symSetOptions;
   decltype(&SymFromAddr) symFromAddr;
   decltype(&SymGetModuleBase64) symGetModuleBase64;
   decltype(&SymFunctionTableAccess64) symFunctionTableAccess64;
   decltype(&StackWalk64) stackWalk64;
   bool symbolsReady;  // SymInitialize succeeded for this process
   // The image writer, or null; lookupError says why not.
   decltype(&MiniDumpWriteDump) miniDumpWriteDump;
   DWORD lookupError;
};

// Loads the library and looks the entry points up, once.
const CoreDumpDebugHelp &CoreDumpDebugHelpLoad();

struct CoreDumpContext {
   EXCEPTION_POINTERS *exception;  // the fake exception and its context
   DWORD threadId;                 // the thread that raised it
};
