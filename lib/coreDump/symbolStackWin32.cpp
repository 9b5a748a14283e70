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

/*
 * The section (numbered from 1 in the module's PE section table) that
 * holds lookup, and the offset of address within it. The headers are
 * those of the loaded image, which stay mapped while the module is.
 */
bool
CoreDumpFindSection(uint64_t base, uint64_t lookup, uint64_t address, CoreDumpSymbol *symbol)
{
   const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
   if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
      return false;
   }
   const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
   if (nt->Signature != IMAGE_NT_SIGNATURE) {
      return false;
   }
   const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
   uint64_t rva = lookup - base;
   for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++, section++) {
      uint64_t size = section->Misc.VirtualSize != 0 ? section->Misc.VirtualSize
                                                     : section->SizeOfRawData;
      if (rva >= section->VirtualAddress && rva - section->VirtualAddress < size) {
         symbol->section = i + 1u;
         symbol->offset = (uint32_t)(address - base - section->VirtualAddress);
         return true;
      }
   }
   return false;
}

// The module that holds lookup: path, base, section and offset of address.
void
CoreDumpDescribeModule(const CoreDumpDebugHelp &dh, uint64_t lookup, uint64_t address,
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
   if (!CoreDumpFindSection(base, lookup, address, symbol)) {
      symbol->offset = (uint32_t)(address - base);
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
   while (count < max &&
          dh.stackWalk64(IMAGE_FILE_MACHINE_AMD64, process, GetCurrentThread(), &sf, &registers,
                         nullptr, dh.symFunctionTableAccess64, dh.symGetModuleBase64, nullptr)) {
      if (sf.AddrPC.Offset == 0 || sf.AddrFrame.Offset == 0 || sf.AddrReturn.Offset == 0) {
         break;
      }
      if (std::exchange(own, false)) {
         continue;
      }
      CoreDumpFrame &f = frames[count++];
      f.frame = sf.AddrFrame.Offset;
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
   CoreDumpDescribeModule(dh, lookup, ip, symbol);

   alignas(SYMBOL_INFO) char buf[sizeof(SYMBOL_INFO) + sizeof symbol->name];
   SYMBOL_INFO *info = reinterpret_cast<SYMBOL_INFO *>(buf);
   std::memset(info, 0, sizeof *info);
   info->SizeOfStruct = sizeof *info;
   info->MaxNameLen = sizeof symbol->name - 1;
   DWORD64 displacement = 0;
   if (dh.symFromAddr(GetCurrentProcess(), lookup, &displacement, info)) {
      symbol->haveName = true;
      int status = 0;
      // The compiler's names are demangled here, which the library cannot.
      char *demangled = abi::__cxa_demangle(info->Name, nullptr, nullptr, &status);
      Str_Snprintf(symbol->name, sizeof symbol->name, "%s",
                   status == 0 && demangled != nullptr ? demangled : info->Name);
      std::free(demangled);
      symbol->nameOffset = ip - info->Address;
   }
   return symbol->haveModule || symbol->haveName;
}
