// Win32 back end of the logging library: the log file through the C
// runtime's descriptors (so that the portable code's int descriptors and
// errno work unchanged), the clocks, the event log as the system logger
// and the host facts of the banner.
//
// The log file is opened in binary mode: lines end in "\n" alone, and the
// byte counts that rotation and the discarded-bytes notice rely on are
// the bytes on disk. It is shared for deletion, so that it can be renamed
// while open, as on POSIX.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <unicode/ucnv.h>
#include <windows.h>
#include <winternl.h>

#include "lib/file/file.h"
#include "lib/log/logInt.h"
#include "lib/log/logPlatform.h"
#include "lib/misc/platFaultWin32.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/w32Util.h"
#include "lib/misc/win32Text.h"

namespace {

const LogSystemLoggerSink *testSink = nullptr;

// Event type of each line; the event id is the one message of the source.
constexpr DWORD LOG_EVENT_ID = W32UTIL_EVENT_ID;

}  // namespace

int
LogPlat_Open(const char *path)
{
   if (int armed = PlatFault_Check(PLAT_OPEN); armed != 0) {
      // An error armed as the system's own code is mapped as a real one.
      SetLastError(PlatFaultWin32Error(armed));
      errno = (armed & PLAT_FAULT_WIN32_CODE) != 0 ? File_ErrnoOfPlatformError((int)GetLastError())
                                                   : armed;
      return -1;
   }
   UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(path));
   if (wide == nullptr) {
      errno = EINVAL;
      SetLastError(ERROR_INVALID_NAME);
      return -1;
   }
   // The file library's long-name rule: "\\?\" or fewer than 260 units.
   if (std::wcsncmp(wide.get(), L"\\\\?\\", 4) != 0 && std::wcslen(wide.get()) >= MAX_PATH) {
      errno = ENAMETOOLONG;
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return -1;
   }
   /*
    * What _wopen(_O_RDWR | _O_APPEND | _O_CREAT | _O_NOINHERIT) opens, but
    * shared for deletion too: rotation renames the file while it is still
    * open, and others may rotate or remove it meanwhile. The handle may
    * append and not write in place, so the system puts every write at
    * the end of the file as one piece, as O_APPEND does: two processes
    * sharing the log never overwrite each other's lines.
    */
   UtilWinHandle h(CreateFileW(wide.get(), GENERIC_READ | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
   if (!h) {
      DWORD err = GetLastError();
      errno = File_ErrnoOfPlatformError((int)err);
      SetLastError(err);
      return -1;
   }
   int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h.Get()), _O_APPEND | _O_BINARY);
   if (fd >= 0) {
      h.Take();  // the descriptor owns it now
   }
   return fd;
}

long
LogPlat_Write(int fd, const void *data, size_t length)
{
   if (!PlatFault_Allowed(PLAT_WRITE, &length, fd)) {
      return -1;
   }
   return _write(fd, data, (unsigned)length);
}

long
LogPlat_Read(int fd, void *buf, size_t length)
{
   if (!PlatFault_Allowed(PLAT_READ)) {
      return -1;
   }
   return _read(fd, buf, (unsigned)length);
}

bool
LogPlat_Sync(int fd)
{
   return _commit(fd) == 0;  // FlushFileBuffers
}

void
LogPlat_Close(int fd)
{
   _close(fd);
}

bool
LogPlat_Dup2(int from, int to)
{
   if (from == to || _dup2(from, to) != 0) {
      return false;
   }
   // The duplicate is inheritable; the log is not for child processes.
   SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(to)), HANDLE_FLAG_INHERIT, 0);
   return true;
}

bool
LogPlat_Truncate(int fd)
{
   // The log's handle only appends: the cut goes through a second handle
   // of the same file that may write in place.
   HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
   UtilWinHandle writer(ReOpenFile(h, FILE_WRITE_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
   if (!writer) {
      errno = File_ErrnoOfPlatformError((int)GetLastError());
      return false;
   }
   FILE_END_OF_FILE_INFO end{};
   if (SetFileInformationByHandle(writer.Get(), FileEndOfFileInfo, &end, sizeof end) != 0) {
      return true;
   }
   errno = File_ErrnoOfPlatformError((int)GetLastError());
   UtilSavedError failure;  // over the close
   writer.Reset();
   return false;
}

bool
LogPlat_SeekStart(int fd)
{
   if (!PlatFault_Allowed(PLAT_SEEK)) {
      return false;
   }
   return _lseeki64(fd, 0, SEEK_SET) == 0;
}

int64_t
LogPlat_FileSize(int fd)
{
   return _filelengthi64(fd);
}

void
LogPlat_WriteStderr(const char *text, size_t length)
{
   // A service has no standard error: the write then fails, unseen.
   (void)_write(2, text, (unsigned)length);
}

void *
LogPlat_SysOpen(const char *name)
{
   if (testSink != nullptr) {
      return testSink->open(name);
   }
   UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(name));
   if (wide == nullptr) {
      return nullptr;
   }
   // Registered first when it has no usable registration, with the full
   // path of the message library; a user who may not register it still
   // logs (the viewer then shows the line without its message).
   W32Util_EnsureEventLog(name);
   return RegisterEventSourceW(nullptr, wide.get());
}

void
LogPlat_SysReport(void *handle, uint16_t eventType, int32_t level, const char *text)
{
   if (testSink != nullptr) {
      testSink->report(handle, eventType, level, text);
      return;
   }
   UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(text));
   if (wide == nullptr) {
      return;
   }
   const wchar_t *strings[] = {wide.get()};
   ReportEventW(handle, eventType, 0, LOG_EVENT_ID, nullptr, 1, 0, strings, nullptr);
}

void
LogPlat_SysClose(void *handle)
{
   if (testSink != nullptr) {
      testSink->close(handle);
      return;
   }
   DeregisterEventSource(handle);
}

void
LogPlat_SetSystemLoggerSink(const LogSystemLoggerSink *sink)
{
   testSink = sink;
}

const char *
LogPlat_Codepage()
{
   static char codepage[24];
   std::snprintf(codepage, sizeof codepage, "windows-%u", GetACP());
   return codepage;
}

const char *
LogPlat_Encoding()
{
   return ucnv_getDefaultName();
}

void
LogPlat_HostDescription(char *buf, size_t size)
{
   // RtlGetVersion tells the truth that GetVersionEx hides from programs
   // without a manifest naming the system.
   typedef LONG(WINAPI * GetVersionFn)(OSVERSIONINFOW *);
   HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
   GetVersionFn getVersion = ntdll == nullptr ? nullptr
      : reinterpret_cast<GetVersionFn>(
           reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlGetVersion")));
   OSVERSIONINFOW v{};
   v.dwOSVersionInfoSize = sizeof v;
   if (getVersion == nullptr || getVersion(&v) != 0) {
      std::snprintf(buf, size, "unknown");
      return;
   }
   SYSTEM_INFO si;
   GetNativeSystemInfo(&si);
   const char *arch = si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? "x64"
                      : si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? "arm64"
                      : si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? "x86"
                                                                                  : "unknown";
   std::snprintf(buf, size, "Windows %lu.%lu build %lu %s", v.dwMajorVersion, v.dwMinorVersion,
                 v.dwBuildNumber, arch);
}
