// Registry and security chores of the Win32 back ends (Windows builds
// only).
#pragma once

#include <string>

/*
 * Registers `source` as an event source of the Application log: a
 * volatile key "SYSTEM\CurrentControlSet\Services\EventLog\Application\"
 * plus the name under HKEY_LOCAL_MACHINE, with "TypesSupported" = 7 and
 * "EventMessageFile" = messageFile. False, with the last error set, when
 * the key cannot be made or written (a user without the right to).
 */
// The event-message library registered for every source of the product,
// and the one message it holds: the reported string as it stands.
constexpr char W32UTIL_EVENT_MESSAGE_FILE[] = "salvorEventMessages.dll";
constexpr unsigned long W32UTIL_EVENT_ID = 1000;

bool W32Util_RegisterEventLog(const char *source, const char *messageFile);
/*
 * The same, made to last: the key is made again, not volatile, so that it
 * outlives a restart (the registration of `install`).
 */
bool W32Util_RegisterEventLogPersistent(const char *source, const char *messageFile);
/*
 * Makes sure the source is registered before it is opened: a registration
 * whose "EventMessageFile" names a file that exists (an installer's, say)
 * is left alone; otherwise the source is registered with
 * W32Util_EventMessageFile(). False when that registration was refused.
 */
bool W32Util_EnsureEventLog(const char *source);
/*
 * The full path of the event-message library: in the product's
 * installation directory when it is set, else beside the running program.
 */
std::string W32Util_EventMessageFile();

/*
 * The product's installation directory: the "InstallPath" value of the
 * product's key under HKEY_LOCAL_MACHINE, kept only when it ends with a
 * separator; "" otherwise.
 */
std::string W32Util_InstallPath();

/*
 * Whether only administrators can change the file or directory at `path`:
 * it is owned by the system account, the Administrators group or the
 * installer's account, and its access list lets nobody else write, append,
 * delete, or change its attributes, list or owner. False, with the reason
 * in *why, otherwise, or when the descriptor cannot be read.
 */
bool W32Util_IsAdminOnly(const char *path, std::string *why);
// The same decision on a security descriptor (a PSECURITY_DESCRIPTOR).
bool W32Util_DescriptorIsAdminOnly(const void *descriptor, std::string *why);
/*
 * The access list of folders that only administrators may change: the
 * system account and the Administrators group in full, Users read, not
 * inherited from the parent; owned by the Administrators group (SDDL).
 */
constexpr char W32UTIL_ADMIN_ONLY_SDDL[] =
   "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
/*
 * Makes the directory `path` with that list. A caller who may not make the
 * Administrators group the owner (one who is not an administrator) owns
 * it instead. False, with the last error set, when it cannot be made.
 */
bool W32Util_MakeAdminOnlyDirectory(const char *path);
