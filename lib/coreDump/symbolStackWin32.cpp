// The stack walk and the symbols of the Win32 back end, through the debug
// help library; see coreDumpPlatform.h.
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <utility>

#include "lib/coreDump/coreDumpWin32.h"
#include "lib/log/log.h"
#include "lib/string/str.h"

namespace {

// Whether the walk and the symbols can be had; logs why not.
bool
CoreDumpSymbolsUsable(const CoreDumpDebugHelp &dh)
{
   if (dh.module == nullptr) {
      Warning("CoreDump: No debug provider found!\n");
      return false;
   }
   if (dh.symInitialize == nullptr || !dh.symbolsReady) {
      Warning("CoreDump: Failed to resolve dbghelp.dll symbols. No backtrace.----\n");
      return false;
   }
   return true;
}

// The loaded image's headers, which stay mapped while the module is.
const IMAGE_NT_HEADERS *
CoreDumpImageHeaders(uint64_t base)
{
   const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
   if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
      return nullptr;
   }
   const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
   return nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
}

// The section that holds rva, numbered from 1 in the section table; 0: none.
uint32_t
CoreDumpFindSection(const IMAGE_NT_HEADERS *nt, uint64_t rva, const IMAGE_SECTION_HEADER **found)
{
   const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
   for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++, section++) {
      uint64_t size = section->Misc.VirtualSize != 0 ? section->Misc.VirtualSize
                                                     : section->SizeOfRawData;
      if (rva >= section->VirtualAddress && rva - section->VirtualAddress < size) {
         *found = section;
         return i + 1u;
      }
   }
   return 0;
}

/*
 * The exported name nearest below rva within its section: how a module
 * without debug information is named. Forwarded exports are no code of
 * the module and are passed over.
 */
const char *
CoreDumpNearestExport(uint64_t base, const IMAGE_NT_HEADERS *nt,
                      const IMAGE_SECTION_HEADER *section, uint64_t rva, uint64_t *start)
{
   const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
   if (dir.VirtualAddress == 0 || dir.Size == 0) {
      return nullptr;
   }
   const auto *exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(base + dir.VirtualAddress);
   const auto *functions = reinterpret_cast<const DWORD *>(base + exports->AddressOfFunctions);
   const auto *names = reinterpret_cast<const DWORD *>(base + exports->AddressOfNames);
   const auto *ordinals = reinterpret_cast<const WORD *>(base + exports->AddressOfNameOrdinals);
   const char *best = nullptr;
   DWORD bestRva = 0;
   for (DWORD i = 0; i < exports->NumberOfNames; i++) {
      if (ordinals[i] >= exports->NumberOfFunctions) {
         continue;
      }
      DWORD fn = functions[ordinals[i]];
      bool forwarded = fn >= dir.VirtualAddress && fn - dir.VirtualAddress < dir.Size;
      if (forwarded || fn < section->VirtualAddress || fn > rva ||
          (best != nullptr && fn <= bestRva)) {
         continue;
      }
      best = reinterpret_cast<const char *>(base + names[i]);
      bestRva = fn;
   }
   *start = base + bestRva;
   return best;
}

// The name of the symbol, demangled, and where it starts.
void
CoreDumpSetName(const char *raw, uint64_t start, uint64_t ip, CoreDumpSymbol *symbol)
{
   symbol->haveName = true;
   int status = 0;
   // The compiler's names are demangled here, which the library cannot.
   char *demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
   Str_Snprintf(symbol->name, sizeof symbol->name, "%s",
                status == 0 && demangled != nullptr ? demangled : raw);
   std::free(demangled);
   symbol->nameOffset = ip - start;
}

// The symbol that the library knows for lookup.
bool
CoreDumpLookupSymbol(const CoreDumpDebugHelp &dh, uint64_t lookup, uint64_t ip,
                     CoreDumpSymbol *symbol)
{
   alignas(SYMBOL_INFO) char buf[sizeof(SYMBOL_INFO) + sizeof symbol->name];
   SYMBOL_INFO *info = reinterpret_cast<SYMBOL_INFO *>(buf);
   std::memset(info, 0, sizeof *info);
   info->SizeOfStruct = sizeof *info;
   info->MaxNameLen = sizeof symbol->name - 1;
   DWORD64 displacement = 0;
   if (!dh.symFromAddr(GetCurrentProcess(), lookup, &displacement, info)) {
      return false;
   }
   CoreDumpSetName(info->Name, info->Address, ip, symbol);
   return true;
}

/*
 * The module that holds lookup: path, base, section and offset of ip; and
 * the nearest export, for a symbol the library does not know.
 */
void
CoreDumpDescribeModule(const CoreDumpDebugHelp &dh, uint64_t lookup, uint64_t ip,
                       CoreDumpSymbol *symbol)
{
   uint64_t base = dh.symGetModuleBase64(GetCurrentProcess(), lookup);
   HMODULE module = reinterpret_cast<HMODULE>(base);
   if (base == 0 &&  // loaded after the symbols were initialised
       !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(lookup), &module)) {
      return;
   }
   base = reinterpret_cast<uintptr_t>(module);
   wchar_t path[MAX_PATH * 2];
   DWORD len = GetModuleFileNameW(module, path, sizeof path / sizeof path[0]);
   if (len == 0 || len >= sizeof path / sizeof path[0] ||
       WideCharToMultiByte(CP_UTF8, 0, path, -1, symbol->modulePath,
                           sizeof symbol->modulePath, nullptr, nullptr) <= 0) {
      return;
   }
   symbol->haveModule = true;
   symbol->moduleBase = base;
   symbol->offset = (uint32_t)(ip - base);
   const IMAGE_NT_HEADERS *nt = CoreDumpImageHeaders(base);
   const IMAGE_SECTION_HEADER *section = nullptr;
   symbol->section = nt == nullptr ? 0 : CoreDumpFindSection(nt, lookup - base, &section);
   if (section == nullptr) {
      return;
   }
   symbol->offset = (uint32_t)(ip - base - section->VirtualAddress);
   if (!symbol->haveName) {
      uint64_t start = 0;
      const char *name = CoreDumpNearestExport(base, nt, section, lookup - base, &start);
      if (name != nullptr) {
         CoreDumpSetName(name, start, ip, symbol);
      }
   }
}

}  // namespace

__attribute__((noinline)) int
CoreDumpPlat_WalkStack(CoreDumpFrame *frames, int max)
{
   const CoreDumpDebugHelp &dh = CoreDumpDebugHelpLoad();
   if (max <= 0 || !CoreDumpSymbolsUsable(dh)) {
      return 0;
   }
   static CONTEXT registers;  // large; one panicking thread at a time
   RtlCaptureContext(&registers);
   STACKFRAME64 sf = {};
   sf.AddrPC.Offset = registers.Rip;
   sf.AddrPC.Mode = AddrModeFlat;
   sf.AddrFrame.Offset = registers.Rsp;
   sf.AddrFrame.Mode = AddrModeFlat;
   sf.AddrStack.Offset = registers.Rsp;
   sf.AddrStack.Mode = AddrModeFlat;
   HANDLE process = GetCurrentProcess();
   int count = 0;
   bool own = true;  // the first frame is the walk's own
   bool last = false;
   while (!last && count < max &&
          dh.stackWalk64(IMAGE_FILE_MACHINE_AMD64, process, GetCurrentThread(), &sf, &registers,
                         nullptr, dh.symFunctionTableAccess64, dh.symGetModuleBase64, nullptr)) {
      // On x64 a frame is known by its stack pointer: the frame register
      // is a general one that optimised code need not keep.
      if (sf.AddrPC.Offset == 0 || sf.AddrStack.Offset == 0) {
         break;
      }
      last = sf.AddrReturn.Offset == 0;  // the thread's outermost frame
      if (std::exchange(own, false)) {
         continue;
      }
      CoreDumpFrame &f = frames[count++];
      f.frame = sf.AddrStack.Offset;
      f.ip = sf.AddrPC.Offset;
      std::memcpy(f.params, sf.Params, sizeof f.params);
      // The capture's own address follows its call, like every return address.
      f.afterCall = true;
   }
   return count;
}

bool
CoreDumpPlat_DescribeAddress(uint64_t ip, bool returnAddress, CoreDumpSymbol *symbol)
{
   std::memset(symbol, 0, sizeof *symbol);
   const CoreDumpDebugHelp &dh = CoreDumpDebugHelpLoad();
   if (!dh.symbolsReady) {
      return false;
   }
   uint64_t lookup = ip - (returnAddress && ip > 0 ? 1 : 0);
   CoreDumpLookupSymbol(dh, lookup, ip, symbol);
   CoreDumpDescribeModule(dh, lookup, ip, symbol);
   return symbol->haveModule || symbol->haveName;
}
