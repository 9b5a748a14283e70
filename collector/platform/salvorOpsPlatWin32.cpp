// Win32 back end of the operations features' platform layer; see
// salvorOpsPlat.h. Handles are the system's (as the file library's are
// on Windows); a child's `pid` is its process handle, and the group it
// runs in is a job object, kept here until the child is reaped. Errors
// are Windows error codes, as the file library reports them.
#include "collector/platform/salvorOpsPlat.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>
#include <windows.h>

#include "collector/platform/salvorOpsPlatWin32.h"
#include "lib/misc/clockWin32.h"
#include "lib/misc/platError.h"
#include "lib/misc/platFaultWin32.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"

namespace {

using WideText = UtilHeapPtr<wchar_t>;

constexpr int64_t FILETIME_UNIX_EPOCH = CLOCK_FILETIME_UNIX_EPOCH;

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
HANDLE
SalvorOpsCreateJob()
{
   HANDLE job = CreateJobObjectW(nullptr, nullptr);
   JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
   limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
   if (job != nullptr) {
      SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
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

// The full path of the open directory `dir` joined with `name`.
bool
SalvorOpsPathBelow(FileHandle dir, const char *name, std::wstring *out)
{
   WideText wideName(Win32Text_ToUtf16(name));
   if (wideName == nullptr || std::strpbrk(name, "/\\") != nullptr) {
      SetLastError(ERROR_INVALID_NAME);
      return false;
   }
   wchar_t buf[32768];
   DWORD n = GetFinalPathNameByHandleW(SalvorOpsHandle(dir), buf, 32768, FILE_NAME_NORMALIZED);
   if (n == 0 || n >= 32768) {
      return false;
   }
   *out = std::wstring(buf, n) + L"\\" + wideName.get();
   return true;
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

FileHandle
SalvorPlat_OpenAppend(const char *path, int mode)
{
   (void)mode;  // the directory's inherited access applies
   WideText wide(Win32Text_ToUtf16(path));
   if (wide == nullptr) {
      SetLastError(ERROR_INVALID_NAME);
      return FILE_INVALID_HANDLE;
   }
   // Append access only: each write lands at the end, whole.
   HANDLE h = CreateFileW(wide.get(), FILE_APPEND_DATA | SYNCHRONIZE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr);
   return SalvorOpsFileHandle(h);
}

/*
 * Cuts the file back to `size`. The handle may only append: a second
 * handle of the same file may also set its end.
 */
static void
SalvorOpsCutBack(HANDLE h, LARGE_INTEGER size)
{
   HANDLE writer = ReOpenFile(h, GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
   if (writer == INVALID_HANDLE_VALUE) {
      return;
   }
   if (SetFilePointerEx(writer, size, nullptr, FILE_BEGIN)) {
      SetEndOfFile(writer);
   }
   CloseHandle(writer);
}

bool
SalvorPlat_Append(FileHandle file, const void *data, size_t length)
{
   HANDLE h = SalvorOpsHandle(file);
   size_t tried = length;
   LARGE_INTEGER before;
   if (!PlatFault_Allowed(PLAT_WRITE, &tried, (intptr_t)file) || length > 0x7fffffff ||
       !GetFileSizeEx(h, &before)) {
      return false;
   }
   DWORD written = 0;
   BOOL ok = WriteFile(h, data, (DWORD)tried, &written, nullptr);
   if (ok && written == length) {
      return true;
   }
   DWORD err = ok ? ERROR_DISK_FULL : GetLastError();
   if (written > 0) {
      // A full disk took part of it: cut that back, so that the next
      // record does not join a half one.
      SalvorOpsCutBack(h, before);
   }
   SetLastError(err);
   return false;
}

void
SalvorPlat_CloseHandle(FileHandle file)
{
   if (file != FILE_INVALID_HANDLE) {
      CloseHandle(SalvorOpsHandle(file));
   }
}

bool
SalvorPlat_FileSize(FileHandle file, uint64_t *size)
{
   LARGE_INTEGER li;
   if (!GetFileSizeEx(SalvorOpsHandle(file), &li)) {
      return false;
   }
   *size = (uint64_t)li.QuadPart;
   return true;
}

bool
SalvorPlat_FreeBytes(const char *path, uint64_t *freeBytes)
{
   WideText wide(Win32Text_ToUtf16(path));
   ULARGE_INTEGER available;
   if (wide == nullptr || !GetDiskFreeSpaceExW(wide.get(), &available, nullptr, nullptr)) {
      return false;
   }
   *freeBytes = available.QuadPart;
   return true;
}

SalvorPlatProgram
SalvorPlat_CheckProgram(const char *path, int *err)
{
   *err = 0;
   bool drive = std::isalpha((unsigned char)path[0]) && path[1] == ':' &&
                (path[2] == '\\' || path[2] == '/');
   bool share = (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
   if (!drive && !share) {
      return SALVOR_PROGRAM_RELATIVE;
   }
   WideText wide(Win32Text_ToUtf16(path));
   DWORD attributes = wide == nullptr ? INVALID_FILE_ATTRIBUTES
                                      : GetFileAttributesW(wide.get());
   if (attributes == INVALID_FILE_ATTRIBUTES) {
      *err = wide == nullptr ? (int)ERROR_INVALID_NAME : (int)GetLastError();
      return SALVOR_PROGRAM_MISSING;
   }
   if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
      return SALVOR_PROGRAM_NOT_FILE;
   }
   const char *dot = std::strrchr(path, '.');
   for (const char *ext : {".exe", ".com", ".cmd", ".bat"}) {
      if (dot != nullptr && _stricmp(dot, ext) == 0) {
         return SALVOR_PROGRAM_OK;
      }
   }
   return SALVOR_PROGRAM_NOT_EXECUTABLE;
}

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
   DWORD err = ok ? 0 : GetLastError();
   DeleteProcThreadAttributeList(list);
   SetLastError(err);
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
   HANDLE readEnd = nullptr, writeEnd = nullptr;
   if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
      return (int)GetLastError();
   }
   SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
   HANDLE std3[3] = {SalvorOpsOpenNull(GENERIC_READ), SalvorOpsOpenNull(GENERIC_WRITE),
                     writeEnd};
   // Started suspended, so that it is in its job before it can start anything.
   PROCESS_INFORMATION pi{};
   bool ok = std3[0] != INVALID_HANDLE_VALUE && std3[1] != INVALID_HANDLE_VALUE &&
             SalvorOpsCreateSuspended(wide.get(), env, std3, &pi);
   DWORD err = ok ? 0 : GetLastError();
   for (HANDLE h : std3) {
      if (h != INVALID_HANDLE_VALUE) {
         CloseHandle(h);
      }
   }
   if (!ok) {
      CloseHandle(readEnd);
      return (int)err;
   }
   HANDLE job = SalvorOpsCreateJob();
   if (job != nullptr && !AssignProcessToJobObject(job, pi.hProcess)) {
      CloseHandle(job);
      job = nullptr;  // killed alone, then
   }
   HANDLE wait = nullptr;
   if (childEndedCallback != nullptr &&
       !RegisterWaitForSingleObject(&wait, pi.hProcess, SalvorOpsChildEnded, nullptr, INFINITE,
                                    WT_EXECUTEONLYONCE)) {
      wait = nullptr;  // seen at the loop's next pass instead
   }
   child->pid = reinterpret_cast<intptr_t>(pi.hProcess);
   child->errPipe = SalvorOpsFileHandle(readEnd);
   {
      std::lock_guard<std::mutex> guard(jobsLock);
      jobs[child->pid] = SalvorOpsChildHandles{job, wait};
   }
   ResumeThread(pi.hThread);
   CloseHandle(pi.hThread);
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
   DWORD code = 0;
   *exitCode = GetExitCodeProcess(process, &code) ? (int)code : -1;
   // Whatever the child left running in its job ends with it.
   SalvorOpsChildHandles handles = SalvorOpsForget(child.pid);
   if (handles.job != nullptr) {
      TerminateJobObject(handles.job, 1);
      CloseHandle(handles.job);
   }
   CloseHandle(process);
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
   SalvorOpsChildHandles handles = SalvorOpsForget(child.pid);
   if (handles.job != nullptr) {
      // Without its kill on close, the job lets the child finish.
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      SetInformationJobObject(handles.job, JobObjectExtendedLimitInformation, &limits,
                              sizeof limits);
      CloseHandle(handles.job);
   }
   CloseHandle(reinterpret_cast<HANDLE>(child.pid));
   SalvorPlat_CloseHandle(child.errPipe);
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

FileHandle
SalvorPlat_OpenDirAt(FileHandle dir, const char *name)
{
   std::wstring path;
   if (dir != FILE_INVALID_HANDLE) {
      if (!SalvorOpsPathBelow(dir, name, &path)) {
         return FILE_INVALID_HANDLE;
      }
   } else {
      WideText wide(Win32Text_ToUtf16(name));
      if (wide == nullptr) {
         SetLastError(ERROR_INVALID_NAME);
         return FILE_INVALID_HANDLE;
      }
      path = wide.get();
   }
   // The name itself, never what a link by that name leads to.
   HANDLE h = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
   if (h == INVALID_HANDLE_VALUE) {
      return FILE_INVALID_HANDLE;
   }
   BY_HANDLE_FILE_INFORMATION info;
   if (!GetFileInformationByHandle(h, &info) ||
       (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      CloseHandle(h);
      SetLastError(ERROR_DIRECTORY);
      return FILE_INVALID_HANDLE;
   }
   return SalvorOpsFileHandle(h);
}

namespace {

SalvorPlatEntry
SalvorOpsEntryOf(const FILE_ID_BOTH_DIR_INFO &info, const std::string &name, DWORD volume)
{
   SalvorPlatEntry e{};
   std::snprintf(e.name, sizeof e.name, "%s", name.c_str());
   bool link = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
   bool dirBit = (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
   e.isDir = dirBit && !link;
   e.isFile = !dirBit && !link;
   // A finished dump is marked read-only at its done; a partial one,
   // written now or left by a stop, is not.
   e.ownerWritable = (info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
   int64_t since1970 = info.LastWriteTime.QuadPart - FILETIME_UNIX_EPOCH;
   e.mtimeSec = since1970 / 10000000;
   e.mtimeNsec = since1970 % 10000000 * 100;
   e.size = (uint64_t)info.EndOfFile.QuadPart;
   e.id = FileId{volume, (uint64_t)info.FileId.QuadPart};
   return e;
}

}  // namespace

bool
SalvorPlat_ListDirAt(FileHandle dir, std::vector<SalvorPlatEntry> *entries)
{
   HANDLE h = SalvorOpsHandle(dir);
   BY_HANDLE_FILE_INFORMATION dirInfo;
   if (!GetFileInformationByHandle(h, &dirInfo)) {
      return false;
   }
   alignas(8) static thread_local char buf[64 * 1024];
   FILE_INFO_BY_HANDLE_CLASS cls = FileIdBothDirectoryRestartInfo;
   for (;;) {
      if (!GetFileInformationByHandleEx(h, cls, buf, sizeof buf)) {
         return GetLastError() == ERROR_NO_MORE_FILES;
      }
      cls = FileIdBothDirectoryInfo;
      for (char *p = buf;;) {
         const auto *info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(p);
         std::wstring wide(info->FileName, info->FileNameLength / sizeof(wchar_t));
         UtilCString name(Win32Text_ToUtf8(wide.c_str()));
         if (name != nullptr && std::strcmp(name.get(), ".") != 0 &&
             std::strcmp(name.get(), "..") != 0) {
            SalvorPlatEntry e = SalvorOpsEntryOf(*info, name.get(), dirInfo.dwVolumeSerialNumber);
            entries->push_back(e);
         }
         if (info->NextEntryOffset == 0) {
            break;
         }
         p += info->NextEntryOffset;
      }
   }
}

int
SalvorPlat_RemoveDirAt(FileHandle dir, const char *name)
{
   std::wstring path;
   if (!SalvorOpsPathBelow(dir, name, &path)) {
      return (int)GetLastError();
   }
   return RemoveDirectoryW(path.c_str()) ? 0 : (int)GetLastError();
}
