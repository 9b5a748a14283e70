// Registry chores of the Win32 back ends (Windows builds only).
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
 * The product's installation directory: the "InstallPath" value of the
 * product's key under HKEY_LOCAL_MACHINE, kept only when it ends with a
 * separator; "" otherwise.
 */
std::string W32Util_InstallPath();
