// Thin platform layer for the service control manager: registering and
// removing the service, the dispatcher that runs it, control requests and
// state reports. The back end for systemd is salvorScmSystemd.cpp.
//
// The calls keep the service control manager's outcomes: a handle or null,
// true or false, with the reason in errno. A Windows back end would map
// them one to one onto the manager's own calls. Opening the manager or a
// service, registering one and changing its registration consult the
// failure seam (PLAT_SERVICE, lib/misc/platFault.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "collector/platform/salvorScmTypes.h"
#include "lib/misc/utilScoped.h"

// The service's identity, as registered.
struct SalvorServiceIdentity {
   const char *name;
   const char *displayName;
   const char *description;
};

struct SalvorScmHandle;

// The manager: forCreate asks for the right to register services.
SalvorScmHandle *SalvorScm_OpenManager(bool forCreate);
void SalvorScm_CloseHandle(SalvorScmHandle *handle);

// A handle of the manager or of a service, closed with its scope.
struct SalvorScmHandleTraits {
   using Type = SalvorScmHandle *;
   static Type Invalid() { return nullptr; }
   static bool IsValid(Type handle) { return handle != nullptr; }
   static void Release(Type handle) { SalvorScm_CloseHandle(handle); }
};
using SalvorScmOwned = UtilOwned<SalvorScmHandleTraits>;

// The full path of the running executable; false when it cannot be had.
bool SalvorScm_ExecutablePath(char *buf, size_t size);
/*
 * Registers the service to run `exePath` with no arguments, started
 * automatically, as the system account. Null when it cannot (an existing
 * registration is left as it is: errno EEXIST).
 */
SalvorScmHandle *SalvorScm_CreateService(SalvorScmHandle *manager,
                                         const SalvorServiceIdentity *identity,
                                         const char *exePath);
bool SalvorScm_SetDescription(SalvorScmHandle *service, const char *description);
/*
 * Has the manager start the service again `delayMs` after it failed: it
 * ended without reporting a stop, or stopped with an exit code.
 */
bool SalvorScm_SetRestartOnFailure(SalvorScmHandle *service, uint32_t delayMs);
/*
 * Whether the program at exePath, which the service would run as the
 * system account, and its directory can be changed only by
 * administrators; false, with the reason and a remedy as the last error
 * text, when other users could put their own program in its place.
 */
bool SalvorScm_ProgramIsProtected(const char *exePath);
/*
 * Registers `source` for the operator's system log, for good, with the
 * full path of the message library that ships beside exePath.
 */
bool SalvorScm_RegisterLogSource(const char *source, const char *exePath);
SalvorScmHandle *SalvorScm_OpenService(SalvorScmHandle *manager, const char *name);
/*
 * Where the service is registered, for the operator's messages. *packaged
 * is set when the registration came with an installed package, which
 * removes it itself: DeleteService refuses such a service (errno EPERM).
 */
const char *SalvorScm_ServiceLocation(SalvorScmHandle *service, bool *packaged);
/*
 * The service's current state (one of SALVOR_STATE_*); false when the
 * manager cannot tell.
 */
bool SalvorScm_QueryState(SalvorScmHandle *service, uint32_t *state);
bool SalvorScm_DeleteService(SalvorScmHandle *service);
/*
 * Why the last call of this layer that failed on this thread failed, in
 * the operator's words when errno alone does not say it (a helper program
 * that failed, say); otherwise the text of errno.
 */
const char *SalvorScm_LastErrorText();

typedef void (*SalvorServiceMainFn)(int argc, char **argv);
// False for a control the service does not implement.
typedef bool (*SalvorControlHandlerFn)(uint32_t code);

/*
 * Runs the service: calls serviceMain on a thread of its own with the
 * service name and the start parameters, delivers control requests to the
 * registered handler on this thread, and returns when serviceMain has
 * returned. Returns false at once when the process was not started by the
 * service manager.
 */
bool SalvorScm_StartDispatcher(const char *name, SalvorServiceMainFn serviceMain);
// Null when the handler cannot be registered.
void *SalvorScm_RegisterControlHandler(const char *name, SalvorControlHandlerFn handler);
/*
 * Reports the service's status; `text` is a line for the operator (what
 * the service does, or why it stopped), may be null.
 */
bool SalvorScm_SetStatus(void *statusHandle, const SalvorServiceStatus *status,
                         const char *text);
// Tells the operator's system log why the service could not run.
void SalvorScm_ReportError(const char *text);

/*
 * Ends the process of a service that has stopped, with `code`, once its
 * streams are flushed. On Windows at once: under Wine the C runtime's
 * exit has hung after the service reported itself stopped, with every
 * file already closed, and the manager then takes the service for
 * hung. Elsewhere it returns, and the process ends as usual.
 */
void SalvorScm_EndServiceProcess(int code);

// For the operator: how this manager shows that a process was not
// started by it, and how a service is given its start parameters.
const char *SalvorScm_NotStartedHint();
const char *SalvorScm_StartParametersHint();
