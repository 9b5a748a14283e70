// Win32 back end of the service control manager layer; see salvorScm.h.
//
// Each call is the manager's own (OpenSCManagerW, CreateServiceW,
// ChangeServiceConfig2W, OpenServiceW, QueryServiceStatus, DeleteService,
// StartServiceCtrlDispatcherW, RegisterServiceCtrlHandlerExW,
// SetServiceStatus), with the texts converted to UTF-16 at the call. A
// failure keeps the manager's error as the thread's last error and sets
// errno from it by the table below, as the service host reads errno. The
// program's protection and the event log's registration are
// lib/misc/w32Util.h's.
#include "collector/platform/salvorScm.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

#include "lib/misc/platFaultWin32.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/w32Util.h"
#include "lib/misc/win32Text.h"

struct SalvorScmHandle {
   SC_HANDLE handle;
   std::string location;  // where the registration lives, for messages
};

namespace {

using WideText = UtilHeapPtr<wchar_t>;

// Where the manager keeps the registrations.
constexpr const char *SERVICES_KEY = "HKLM\\System\\CurrentControlSet\\Services";

std::atomic<SalvorServiceMainFn> serviceMainFn{nullptr};
std::atomic<SalvorControlHandlerFn> controlHandler{nullptr};
// The event source of the operator's error reports: the service's name.
std::string reportSource = "salvor";

thread_local std::string lastErrorText;

int
SalvorScmErrnoOf(DWORD err)
{
   switch (err) {
   case ERROR_ACCESS_DENIED: return EACCES;
   case ERROR_SERVICE_EXISTS: return EEXIST;
   case ERROR_DUPLICATE_SERVICE_NAME: return EEXIST;
   case ERROR_SERVICE_DOES_NOT_EXIST: return ENOENT;
   case ERROR_SERVICE_MARKED_FOR_DELETE: return EBUSY;
   case ERROR_SERVICE_CANNOT_ACCEPT_CTRL: return EBUSY;
   case ERROR_INVALID_NAME: return EINVAL;
   case ERROR_INVALID_PARAMETER: return EINVAL;
   case ERROR_INVALID_SERVICE_ACCOUNT: return EINVAL;
   case ERROR_INVALID_HANDLE: return EBADF;
   case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
   case ERROR_INSUFFICIENT_BUFFER: return ENAMETOOLONG;
   case ERROR_DATABASE_DOES_NOT_EXIST: return ENOENT;
   default: return EIO;
   }
}

/*
 * Fails the current call with the Windows error `err`: errno from the
 * table, the system's own text (and the code) for the operator, and the
 * error left as the thread's last.
 */
bool
SalvorScmFail(DWORD err)
{
   wchar_t *text = nullptr;
   DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                            nullptr, err, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
   UtilLocalPtr<wchar_t> owned(text);
   UtilCString utf8(n > 0 ? Win32Text_ToUtf8(text) : nullptr);
   std::string words = utf8 ? utf8.get() : "";
   while (!words.empty() && (words.back() == '\n' || words.back() == '\r' ||
                             words.back() == '.' || words.back() == ' ')) {
      words.pop_back();
   }
   lastErrorText = (words.empty() ? "Windows error" : words) + " (error " +
                   std::to_string(err) + ")";
   errno = SalvorScmErrnoOf(err);
   SetLastError(err);
   return false;
}

bool
SalvorScmFailLast()
{
   return SalvorScmFail(GetLastError());
}

// The wide copy of a text; false (with ENOMEM or EINVAL) when it has none.
bool
SalvorScmWide(const char *text, WideText *out)
{
   out->reset(Win32Text_ToUtf16(text));
   if (*out == nullptr) {
      return SalvorScmFail(text == nullptr ? ERROR_INVALID_PARAMETER
                                           : ERROR_NO_UNICODE_TRANSLATION);
   }
   return true;
}

SalvorScmHandle *
SalvorScmWrap(SC_HANDLE handle, const char *name)
{
   std::string location = SERVICES_KEY;
   if (name != nullptr) {
      location += std::string("\\") + name;
   }
   return new SalvorScmHandle{handle, location};
}

// A path with blanks is quoted, else the manager may run a program named
// by the path's first word.
std::wstring
SalvorScmCommandLine(const wchar_t *path)
{
   std::wstring line = path;
   if (line.find(L' ') != std::wstring::npos && line.front() != L'"') {
      line = L"\"" + line + L"\"";
   }
   return line;
}

void WINAPI
SalvorScmServiceMainW(DWORD argc, LPWSTR *argv)
{
   std::vector<std::string> words;
   for (DWORD i = 0; i < argc; i++) {
      UtilCString word(Win32Text_ToUtf8(argv[i]));
      words.push_back(word ? word.get() : "");
   }
   std::vector<char *> args;
   for (auto &w : words) {
      args.push_back(w.data());
   }
   args.push_back(nullptr);
   if (SalvorServiceMainFn fn = serviceMainFn.load()) {
      fn((int)words.size(), args.data());
   }
}

DWORD WINAPI
SalvorScmHandlerEx(DWORD code, DWORD eventType, void *eventData, void *context)
{
   (void)eventType;
   (void)eventData;
   (void)context;
   SalvorControlHandlerFn handler = controlHandler.load();
   return handler != nullptr && handler(code) ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace

SalvorScmHandle *
SalvorScm_OpenManager(bool forCreate)
{
   if (!PlatFault_Allowed(PLAT_SERVICE)) {
      SalvorScmFailLast();
      return nullptr;
   }
   SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr,
                                      forCreate ? SC_MANAGER_CREATE_SERVICE : SC_MANAGER_CONNECT);
   if (manager == nullptr) {
      SalvorScmFailLast();
      return nullptr;
   }
   return SalvorScmWrap(manager, nullptr);
}

void
SalvorScm_CloseHandle(SalvorScmHandle *handle)
{
   if (handle != nullptr) {
      CloseServiceHandle(handle->handle);
      delete handle;
   }
}

bool
SalvorScm_ExecutablePath(char *buf, size_t size)
{
   wchar_t path[MAX_PATH + 1];
   DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
   if (n == 0) {
      return SalvorScmFailLast();
   }
   if (n >= MAX_PATH + 1) {
      return SalvorScmFail(ERROR_INSUFFICIENT_BUFFER);
   }
   UtilCString utf8(Win32Text_ToUtf8(path));
   if (utf8 == nullptr) {
      return SalvorScmFail(ERROR_NO_UNICODE_TRANSLATION);
   }
   if (std::strlen(utf8.get()) >= size) {
      return SalvorScmFail(ERROR_INSUFFICIENT_BUFFER);
   }
   std::strcpy(buf, utf8.get());
   return true;
}

SalvorScmHandle *
SalvorScm_CreateService(SalvorScmHandle *manager, const SalvorServiceIdentity *identity,
                        const char *exePath)
{
   WideText name, display, path;
   if (!SalvorScmWide(identity->name, &name) || !SalvorScmWide(identity->displayName, &display) ||
       !SalvorScmWide(exePath, &path)) {
      return nullptr;
   }
   if (!PlatFault_Allowed(PLAT_SERVICE)) {
      SalvorScmFailLast();
      return nullptr;
   }
   std::wstring command = SalvorScmCommandLine(path.get());
   // No account name or password: the local system account.
   SC_HANDLE service = CreateServiceW(manager->handle, name.get(), display.get(),
                                      SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                      SERVICE_AUTO_START, SERVICE_ERROR_IGNORE, command.c_str(),
                                      nullptr, nullptr, nullptr, nullptr, nullptr);
   if (service == nullptr) {
      DWORD err = GetLastError();
      SalvorScmFail(err);
      if (err == ERROR_SERVICE_EXISTS) {
         lastErrorText = std::string("it is registered already (") + SERVICES_KEY + "\\" +
                         identity->name + ")";
      }
      return nullptr;
   }
   return SalvorScmWrap(service, identity->name);
}

bool
SalvorScm_SetDescription(SalvorScmHandle *service, const char *description)
{
   WideText text;
   if (!SalvorScmWide(description, &text)) {
      return false;
   }
   SERVICE_DESCRIPTIONW info = {text.get()};
   return ChangeServiceConfig2W(service->handle, SERVICE_CONFIG_DESCRIPTION, &info) != 0
             ? true : SalvorScmFailLast();
}

bool
SalvorScm_SetRestartOnFailure(SalvorScmHandle *service, uint32_t delayMs)
{
   if (!PlatFault_Allowed(PLAT_SERVICE)) {
      return SalvorScmFailLast();
   }
   // Every failure restarts it; the count of failures is reset after a day.
   SC_ACTION actions[3];
   for (SC_ACTION &action : actions) {
      action = {SC_ACTION_RESTART, delayMs};
   }
   SERVICE_FAILURE_ACTIONSW failure = {};
   failure.dwResetPeriod = 24 * 60 * 60;
   failure.cActions = 3;
   failure.lpsaActions = actions;
   // A stop reported with an exit code counts, not only a crash.
   SERVICE_FAILURE_ACTIONS_FLAG onStop = {TRUE};
   if (!ChangeServiceConfig2W(service->handle, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) ||
       !ChangeServiceConfig2W(service->handle, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onStop)) {
      return SalvorScmFailLast();
   }
   return true;
}

bool
SalvorScm_ProgramIsProtected(const char *exePath)
{
   std::string path = exePath;
   std::string dir = path.substr(0, path.find_last_of("\\/"));
   for (const std::string &what : {path, dir}) {
      std::string why;
      if (!W32Util_IsAdminOnly(what.c_str(), &why)) {
         lastErrorText = what + " can be changed by users who are not administrators (" + why +
                         "), who would then run their own program as the system account; "
                         "put the program in a folder that only administrators can change, "
                         "such as %ProgramFiles%\\salvor";
         errno = EACCES;
         return false;
      }
   }
   return true;
}

bool
SalvorScm_RegisterLogSource(const char *source, const char *exePath)
{
   std::string path = exePath;
   std::string library = path.substr(0, path.find_last_of("\\/") + 1) +
                         W32UTIL_EVENT_MESSAGE_FILE;
   if (!W32Util_RegisterEventLogPersistent(source, library.c_str())) {
      return SalvorScmFailLast();
   }
   return true;
}

SalvorScmHandle *
SalvorScm_OpenService(SalvorScmHandle *manager, const char *name)
{
   WideText wide;
   if (!SalvorScmWide(name, &wide)) {
      return nullptr;
   }
   if (!PlatFault_Allowed(PLAT_SERVICE)) {
      SalvorScmFailLast();
      return nullptr;
   }
   SC_HANDLE service = OpenServiceW(manager->handle, wide.get(), DELETE | SERVICE_QUERY_STATUS);
   if (service == nullptr) {
      SalvorScmFailLast();
      return nullptr;
   }
   return SalvorScmWrap(service, name);
}

const char *
SalvorScm_ServiceLocation(SalvorScmHandle *service, bool *packaged)
{
   *packaged = false;  // an installer's registration is removed like any other
   return service->location.c_str();
}

bool
SalvorScm_QueryState(SalvorScmHandle *service, uint32_t *state)
{
   SERVICE_STATUS status;
   if (QueryServiceStatus(service->handle, &status) == 0) {
      return SalvorScmFailLast();
   }
   switch (status.dwCurrentState) {
   case SERVICE_STOPPED: *state = SALVOR_STATE_STOPPED; break;
   case SERVICE_START_PENDING: *state = SALVOR_STATE_START_PENDING; break;
   case SERVICE_STOP_PENDING: *state = SALVOR_STATE_STOP_PENDING; break;
   default: *state = SALVOR_STATE_RUNNING; break;  // running, or paused on its way
   }
   return true;
}

bool
SalvorScm_DeleteService(SalvorScmHandle *service)
{
   return DeleteService(service->handle) != 0 ? true : SalvorScmFailLast();
}

const char *
SalvorScm_LastErrorText()
{
   if (lastErrorText.empty()) {
      lastErrorText = std::strerror(errno);
   }
   return lastErrorText.c_str();
}

bool
SalvorScm_StartDispatcher(const char *name, SalvorServiceMainFn serviceMain)
{
   WideText wide;
   if (!SalvorScmWide(name, &wide)) {
      return false;
   }
   reportSource = name;
   serviceMainFn.store(serviceMain);
   SERVICE_TABLE_ENTRYW table[] = {{wide.get(), SalvorScmServiceMainW}, {nullptr, nullptr}};
   // Returns at once, with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, in a
   // process that the manager did not start.
   return StartServiceCtrlDispatcherW(table) != 0 ? true : SalvorScmFailLast();
}

void *
SalvorScm_RegisterControlHandler(const char *name, SalvorControlHandlerFn handler)
{
   WideText wide;
   if (!SalvorScmWide(name, &wide)) {
      return nullptr;
   }
   controlHandler.store(handler);
   SERVICE_STATUS_HANDLE status = RegisterServiceCtrlHandlerExW(wide.get(), SalvorScmHandlerEx,
                                                                nullptr);
   if (status == nullptr) {
      SalvorScmFailLast();
   }
   return reinterpret_cast<void *>(status);
}

bool
SalvorScm_SetStatus(void *statusHandle, const SalvorServiceStatus *status, const char *text)
{
   (void)text;  // the manager keeps no status line; failures go to the event log
   SERVICE_STATUS record = {status->serviceType,     status->currentState,
                            status->controlsAccepted, status->win32ExitCode,
                            status->serviceSpecificExitCode, status->checkPoint,
                            status->waitHint};
   return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(statusHandle), &record) != 0
             ? true : SalvorScmFailLast();
}

void
SalvorScm_EndServiceProcess(int code)
{
   std::fflush(nullptr);
   ExitProcess((UINT)code);
}

const char *
SalvorScm_NotStartedHint()
{
   return "it was started from a console";
}

const char *
SalvorScm_StartParametersHint()
{
   return "start the service with the parameters -s <config.xml>";
}

void
SalvorScm_ReportError(const char *text)
{
   WideText source, message;
   if (!SalvorScmWide(reportSource.c_str(), &source) || !SalvorScmWide(text, &message)) {
      return;
   }
   // Registered as the log registers its sources, so that the viewer finds
   // the message; a user without the right keeps whatever is registered.
   W32Util_EnsureEventLog(reportSource.c_str());
   HANDLE log = RegisterEventSourceW(nullptr, source.get());
   if (log == nullptr) {
      return;
   }
   const wchar_t *strings[] = {message.get()};
   ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, W32UTIL_EVENT_ID, nullptr, 1, 0, strings, nullptr);
   DeregisterEventSource(log);
}
