// Win32 back end of the host information; see hostinfo.h.
//
// - Host UUID: the machine GUID that Windows writes once when it is
//   installed (HKLM\SOFTWARE\Microsoft\Cryptography, MachineGuid).
// - Machine identifier: the serial number of the system volume (4 bytes;
//   zero when the volume cannot tell it, as Wine's drives at times
//   cannot) followed by the 64-bit FNV-1a hash of the computer name (8
//   bytes).
// - Process start time: the creation time of GetProcessTimes; a reused
//   process id gets a later one.
// - Existence: a process that cannot be opened for want of rights
//   exists; one whose object is signalled has ended, even while some
//   handle still keeps the object.
#include "lib/misc/hostinfo.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <windows.h>

#include "lib/misc/platFaultWin32.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"

namespace {

bool
HostinfoIsUuidText(const char *text)
{
   for (int i = 0; i < 36; i++) {
      bool dash = i == 8 || i == 13 || i == 18 || i == 23;
      if (dash ? text[i] != '-' : !std::isxdigit((unsigned char)text[i])) {
         return false;
      }
   }
   return text[36] == '\0';
}

}  // namespace

char *
Hostinfo_GetHostUUID()
{
   if (!PlatFault_Allowed(PLAT_OPEN)) {
      return nullptr;
   }
   // The 64-bit view: a 32-bit process would otherwise read a copy.
   HKEY opened;
   if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                     KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS) {
      return nullptr;
   }
   UtilWinRegKey key(opened);
   wchar_t wide[64];
   DWORD size = sizeof wide;
   if (RegGetValueW(key.Get(), nullptr, L"MachineGuid", RRF_RT_REG_SZ, nullptr, wide, &size) !=
       ERROR_SUCCESS) {
      return nullptr;
   }
   char *uuid = Win32Text_ToUtf8(wide);
   if (uuid == nullptr || !HostinfoIsUuidText(uuid)) {
      std::free(uuid);
      return nullptr;
   }
   for (char *p = uuid; *p != '\0'; p++) {
      *p = (char)std::tolower((unsigned char)*p);
   }
   return uuid;
}

bool
Hostinfo_MachineID(uint8_t id[HOSTINFO_MACHINE_ID_SIZE])
{
   wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
   DWORD length = sizeof name / sizeof name[0];
   if (!GetComputerNameW(name, &length)) {
      return false;
   }
   wchar_t windowsDir[MAX_PATH];
   UINT n = GetSystemWindowsDirectoryW(windowsDir, MAX_PATH);
   DWORD serial = 0;
   if (n >= 3 && n < MAX_PATH) {
      windowsDir[3] = L'\0';  // "C:\", the system volume's root
      if (!GetVolumeInformationW(windowsDir, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
         serial = 0;
      }
   }
   uint64_t hash = 0xcbf29ce484222325ULL;
   char *utf8 = Win32Text_ToUtf8(name);
   for (const char *p = utf8 == nullptr ? "" : utf8; *p != '\0'; p++) {
      hash ^= (unsigned char)*p;
      hash *= 0x100000001b3ULL;
   }
   std::free(utf8);
   for (int i = 0; i < 4; i++) {
      id[i] = (uint8_t)(serial >> (8 * i));
   }
   for (int i = 0; i < 8; i++) {
      id[4 + i] = (uint8_t)(hash >> (8 * i));
   }
   return true;
}

int
Hostinfo_ProcessId()
{
   return (int)GetCurrentProcessId();
}

bool
Hostinfo_ProcessStartTime(int pid, uint64_t *startTime)
{
   if (pid <= 0) {
      return false;
   }
   UtilWinHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)pid));
   if (!process) {
      return false;
   }
   FILETIME created, exited, kernel, user;
   if (!GetProcessTimes(process.Get(), &created, &exited, &kernel, &user)) {
      return false;
   }
   *startTime = (uint64_t)created.dwHighDateTime << 32 | created.dwLowDateTime;
   return true;
}

char *
Hostinfo_ExecutablePath()
{
   // Long paths may pass MAX_PATH: grow until the name fits.
   for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
      wchar_t *buf = (wchar_t *)std::malloc(size * sizeof *buf);
      if (buf == nullptr) {
         return nullptr;
      }
      DWORD n = GetModuleFileNameW(nullptr, buf, size);
      char *path = n > 0 && n < size ? Win32Text_ToUtf8(buf) : nullptr;
      std::free(buf);
      if (n == 0 || n < size) {
         return path;
      }
   }
   return nullptr;
}

HostinfoProcessQuery
Hostinfo_QueryProcessExistence(int pid)
{
   if (pid <= 0) {
      return HOSTINFO_PROCESS_QUERY_UNKNOWN;
   }
   UtilWinHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, (DWORD)pid));
   if (!process) {
      switch (GetLastError()) {
      case ERROR_INVALID_PARAMETER:
         return HOSTINFO_PROCESS_QUERY_DEAD;
      case ERROR_ACCESS_DENIED:
         return HOSTINFO_PROCESS_QUERY_ALIVE;
      default:
         return HOSTINFO_PROCESS_QUERY_UNKNOWN;
      }
   }
   DWORD wait = WaitForSingleObject(process.Get(), 0);
   return wait == WAIT_TIMEOUT  ? HOSTINFO_PROCESS_QUERY_ALIVE
          : wait == WAIT_OBJECT_0 ? HOSTINFO_PROCESS_QUERY_DEAD
                                  : HOSTINFO_PROCESS_QUERY_UNKNOWN;
}
