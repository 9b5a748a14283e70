// Win32 back end of thread identity; see vthreadBasePlatform.h.
//
// The slot is fiber-local storage rather than thread-local storage: only
// it runs a callback, like a POSIX key's destructor, when a thread that
// holds a value ends.
#include "lib/misc/vthreadBasePlatform.h"

#include <cstdlib>
#include <windows.h>

#include "lib/misc/hostinfo.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"

bool
VThreadPlatKeyCreate(uint32_t *key, void (*destructor)(void *))
{
   DWORD index = FlsAlloc(destructor);
   if (index == FLS_OUT_OF_INDEXES) {
      return false;
   }
   *key = (uint32_t)index;
   return true;
}

void
VThreadPlatKeyDelete(uint32_t key)
{
   FlsFree((DWORD)key);
}

void *
VThreadPlatGetValue(uint32_t key)
{
   return FlsGetValue((DWORD)key);
}

bool
VThreadPlatSetValue(uint32_t key, void *value)
{
   return FlsSetValue((DWORD)key, value) != FALSE;
}

VThreadPlatID
VThreadPlatThreadID()
{
   return (VThreadPlatID)GetCurrentThreadId();
}

bool
VThreadPlatThreadExited(VThreadPlatID id)
{
   UtilSavedError saved;
   UtilWinHandle thread(
      OpenThread(THREAD_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, (DWORD)id));
   if (!thread) {
      // No thread has the id any more; denied access means that it lives.
      return GetLastError() == ERROR_INVALID_PARAMETER;
   }
   // Thread ids are unique across the system: a reused id may now be
   // another process's thread, which is not ours any more either. An
   // ended thread is signalled (whatever its exit code).
   return GetProcessIdOfThread(thread.Get()) != (DWORD)Hostinfo_ProcessId() ||
          WaitForSingleObject(thread.Get(), 0) == WAIT_OBJECT_0;
}

void
VThreadPlatSetNativeName(const char *name)
{
   // Windows 10 (1607) and later only: looked up at run time.
   typedef HRESULT(WINAPI * SetDescription)(HANDLE, PCWSTR);
   static const SetDescription setDescription = [] {
      HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
      FARPROC fn = kernel == nullptr ? nullptr : GetProcAddress(kernel, "SetThreadDescription");
      return (SetDescription)(void *)fn;
   }();
   if (setDescription == nullptr) {
      return;
   }
   wchar_t *wide = Win32Text_ToUtf16(name);
   if (wide != nullptr) {
      setDescription(GetCurrentThread(), wide);
      std::free(wide);
   }
}
