// Win32 back end of the operations features' platform layer; see
// salvorOpsPlat.h. Handles are the system's (as the file library's are
// on Windows); a child's `pid` is its process handle, and the group it
// runs in is a job object, kept here until the child is reaped. Errors
// are Windows error codes.
#include "collector/platform/salvorOpsPlat.h"

#include <algorithm>
#include <cwchar>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>
#include <windows.h>

#include "collector/platform/salvorOpsPlatWin32.h"
#include "lib/misc/platError.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"

namespace {

using WideText = UtilHeapPtr<wchar_t>;

// What the collector holds of a child not yet reaped, besides its process.
struct SalvorOpsChildHandles {
   HANDLE job;   // null when the child could not be put in one
   HANDLE wait;  // the registered wait for its end, or null
};

std::mutex jobsLock;
std::map<intptr_t, SalvorOpsChildHandles> jobs;
void (*childEndedCallback)() = nullptr;

VOID CALLBACK
SalvorOpsChildEnded(PVOID, BOOLEAN)
{
   childEndedCallback();
}

// A job that ends every process in it when its last handle is closed.
UtilWinHandle
SalvorOpsCreateJob()
{
   UtilWinHandle job(CreateJobObjectW(nullptr, nullptr));
   JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
   limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
   if (job) {
      SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                              sizeof limits);
   }
   return job;
}

// Takes the child's handles out of the table, with its wait ended.
SalvorOpsChildHandles
SalvorOpsForget(intptr_t pid)
{
   SalvorOpsChildHandles handles{nullptr, nullptr};
   {
      std::lock_guard<std::mutex> guard(jobsLock);
      auto it = jobs.find(pid);
      if (it != jobs.end()) {
         handles = it->second;
         jobs.erase(it);
      }
   }
   if (handles.wait != nullptr) {
      UnregisterWaitEx(handles.wait, INVALID_HANDLE_VALUE);  // its callback has returned
   }
   return handles;
}

HANDLE
SalvorOpsHandle(FileHandle file)
{
   return reinterpret_cast<HANDLE>(file);
}

FileHandle
SalvorOpsFileHandle(HANDLE h)
{
   return h == INVALID_HANDLE_VALUE || h == nullptr ? FILE_INVALID_HANDLE
                                                    : reinterpret_cast<FileHandle>(h);
}

// The name of an entry "NAME=value" with its "=": the first "=" after
// the first character (the system's own entries such as "=C:=C:\dir"
// begin with one). Empty for an entry without a value.
std::wstring
SalvorOpsEnvName(const std::wstring &entry)
{
   size_t equals = entry.find(L'=', 1);
   return equals == std::wstring::npos ? std::wstring() : entry.substr(0, equals + 1);
}

}  // namespace

std::wstring
SalvorOpsEnvironmentBlock(const char *const *env)
{
   std::vector<std::wstring> entries;
   std::vector<std::wstring> names;
   for (const char *const *e = env; *e != nullptr; e++) {
      WideText wide(Win32Text_ToUtf16(*e));
      std::wstring name = wide == nullptr ? L"" : SalvorOpsEnvName(wide.get());
      if (name.empty()) {
         continue;  // no "NAME=value": nothing to set, and nothing to replace
      }
      names.push_back(name);
      entries.push_back(wide.get());
   }
   wchar_t *own = GetEnvironmentStringsW();
   for (const wchar_t *p = own; p != nullptr && *p != L'\0'; p += std::wcslen(p) + 1) {
      bool replaced = false;
      for (const std::wstring &name : names) {
         replaced = replaced || _wcsnicmp(p, name.c_str(), name.size()) == 0;
      }
      if (!replaced) {
         entries.push_back(p);
      }
   }
   FreeEnvironmentStringsW(own);
   // The system's order: by name alone, compared code unit by code unit
   // in upper case ("AB" before "A_B"), not by the whole entry in lower case.
   std::stable_sort(entries.begin(), entries.end(),
                    [](const std::wstring &a, const std::wstring &b) {
                       std::wstring na = SalvorOpsEnvName(a), nb = SalvorOpsEnvName(b);
                       return CompareStringOrdinal(na.c_str(), (int)na.size() - 1, nb.c_str(),
                                                   (int)nb.size() - 1, TRUE) == CSTR_LESS_THAN;
                    });
   std::wstring block;
   for (const std::wstring &entry : entries) {
      block += entry + L'\0';
   }
   return block + L'\0';
}

namespace {

/*
 * What CreateProcessW runs for `path`: the program itself, or for a batch
 * file the command interpreter, which alone can run one.
 */
void
SalvorOpsCommandLine(const std::wstring &path, std::wstring *application,
                     std::wstring *commandLine)
{
   size_t dot = path.find_last_of(L'.');
   std::wstring ext = dot == std::wstring::npos ? L"" : path.substr(dot);
   if (_wcsicmp(ext.c_str(), L".cmd") != 0 && _wcsicmp(ext.c_str(), L".bat") != 0) {
      *application = path;
      *commandLine = L"\"" + path + L"\"";
      return;
   }
   wchar_t system[MAX_PATH];
   UINT n = GetSystemDirectoryW(system, MAX_PATH);
   *application = std::wstring(system, n < MAX_PATH ? n : 0) + L"\\cmd.exe";
   // /s: the outer quotes go, the quoted path stays; /d: no AutoRun commands.
   *commandLine = L"cmd.exe /d /s /c \"\"" + path + L"\"\"";
}

HANDLE
SalvorOpsOpenNull(DWORD access)
{
   SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
   return CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                      OPEN_EXISTING, 0, nullptr);
}

}  // namespace

namespace {

/*
 * Creates the child suspended with the three standard handles and no
 * other of the collector's (its socket, its open dumps) inherited.
 */
bool
SalvorOpsCreateSuspended(const std::wstring &path, const char *const *env, HANDLE *std3,
                         PROCESS_INFORMATION *pi)
{
   SIZE_T size = 0;
   InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
   std::vector<char> listBuf(size);
   auto *list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuf.data());
   if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      return false;
   }
   UtilScopeExit deleteList([list] {
      UtilSavedError keep;
      DeleteProcThreadAttributeList(list);
   });
   STARTUPINFOEXW si{};
   si.StartupInfo.cb = sizeof si;
   si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
   si.StartupInfo.hStdInput = std3[0];
   si.StartupInfo.hStdOutput = std3[1];
   si.StartupInfo.hStdError = std3[2];
   si.lpAttributeList = list;
   bool ok = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, std3,
                                       3 * sizeof(HANDLE), nullptr, nullptr);
   std::wstring application, commandLine;
   SalvorOpsCommandLine(path, &application, &commandLine);
   std::wstring block = SalvorOpsEnvironmentBlock(env);
   ok = ok && CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                             CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | CREATE_NO_WINDOW |
                                EXTENDED_STARTUPINFO_PRESENT,
                             block.data(), nullptr, &si.StartupInfo, pi);
   return ok;
}

}  // namespace

int
SalvorPlat_SpawnChild(const char *path, const char *const *env, SalvorPlatChild *child)
{
   WideText wide(Win32Text_ToUtf16(path));
   if (wide == nullptr) {
      return ERROR_INVALID_NAME;
   }
   SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
   HANDLE ends[2] = {nullptr, nullptr};
   if (!CreatePipe(&ends[0], &ends[1], &inherit, 0)) {
      return (int)GetLastError();
   }
   UtilWinHandle readEnd(ends[0]);
   SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
   // Started suspended, so that it is in its job before it can start anything.
   PROCESS_INFORMATION pi{};
   {
      // The child has its own copies of these once it is created.
      UtilWinHandle std3[3] = {UtilWinHandle(SalvorOpsOpenNull(GENERIC_READ)),
                               UtilWinHandle(SalvorOpsOpenNull(GENERIC_WRITE)),
                               UtilWinHandle(ends[1])};
      HANDLE inherited[3] = {std3[0].Get(), std3[1].Get(), std3[2].Get()};
      if (!std3[0] || !std3[1] || !SalvorOpsCreateSuspended(wide.get(), env, inherited, &pi)) {
         return (int)GetLastError();
      }
   }
   UtilWinHandle thread(pi.hThread);
   UtilWinHandle job = SalvorOpsCreateJob();
   if (job && !AssignProcessToJobObject(job.Get(), pi.hProcess)) {
      job.Reset();  // killed alone, then
   }
   HANDLE wait = nullptr;
   if (childEndedCallback != nullptr &&
       !RegisterWaitForSingleObject(&wait, pi.hProcess, SalvorOpsChildEnded, nullptr, INFINITE,
                                    WT_EXECUTEONLYONCE)) {
      wait = nullptr;  // seen at the loop's next pass instead
   }
   child->pid = reinterpret_cast<intptr_t>(pi.hProcess);
   child->errPipe = SalvorOpsFileHandle(readEnd.Take());
   {
      std::lock_guard<std::mutex> guard(jobsLock);
      jobs[child->pid] = SalvorOpsChildHandles{job.Take(), wait};
   }
   ResumeThread(thread.Get());
   return 0;
}

void
SalvorPlat_WatchChildren(void (*onChildEnded)())
{
   childEndedCallback = onChildEnded;
}

bool
SalvorPlat_ReapChild(const SalvorPlatChild &child, int *exitCode)
{
   HANDLE process = reinterpret_cast<HANDLE>(child.pid);
   if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
      return false;
   }
   UtilWinHandle reaped(process);
   DWORD code = 0;
   *exitCode = GetExitCodeProcess(process, &code) ? (int)code : -1;
   // Whatever the child left running in its job ends with it.
   UtilWinHandle job(SalvorOpsForget(child.pid).job);
   if (job) {
      TerminateJobObject(job.Get(), 1);
   }
   return true;
}

void
SalvorPlat_KillChild(const SalvorPlatChild &child)
{
   constexpr UINT KILLED = 1;
   std::lock_guard<std::mutex> guard(jobsLock);
   auto it = jobs.find(child.pid);
   if (it == jobs.end() || it->second.job == nullptr ||
       !TerminateJobObject(it->second.job, KILLED)) {
      TerminateProcess(reinterpret_cast<HANDLE>(child.pid), KILLED);
   }
}

size_t
SalvorPlat_EndLeftovers(const SalvorPlatChild *running, size_t count)
{
   (void)running;
   (void)count;
   return 0;  // each child's job ended its tree with it
}

void
SalvorPlat_ReleaseChild(const SalvorPlatChild &child)
{
   UtilWinHandle job(SalvorOpsForget(child.pid).job);
   UtilWinHandle process(reinterpret_cast<HANDLE>(child.pid));
   if (job) {
      // Without its kill on close, the job lets the child finish.
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                              sizeof limits);
   }
   SalvorPlat_ClosePipe(child.errPipe);
}

long
SalvorPlat_ReadPipe(FileHandle pipe, char *buf, size_t size)
{
   DWORD available = 0;
   if (!PeekNamedPipe(SalvorOpsHandle(pipe), nullptr, 0, nullptr, &available, nullptr)) {
      return PlatError_IsBrokenPipe(GetLastError()) ? 0 : -1;
   }
   if (available == 0) {
      return -1;  // nothing yet
   }
   DWORD n = 0;
   DWORD want = available < size ? available : (DWORD)size;
   if (!ReadFile(SalvorOpsHandle(pipe), buf, want, &n, nullptr)) {
      return PlatError_IsBrokenPipe(GetLastError()) ? 0 : -1;
   }
   return (long)n;
}

void
SalvorPlat_ClosePipe(FileHandle pipe)
{
   UtilWinHandle closing(SalvorOpsHandle(pipe));  // invalid: nothing to close
}
