// Win32 back end of the safe temporary directory, of the writable-
// directory test and of the private-file test; see filePlatform.h.
//
// A safe directory is a real directory (no reparse point) owned by the
// user or the Administrators group, whose DACL is protected from
// inheritance and holds exactly two explicit grants, one to the
// Administrators group and one to the user, both including read-control
// and both inherited by files and directories made inside it.
// Such a directory is made in one step by CreateDirectoryW with that
// security descriptor, so it is never reachable by others, not even
// briefly. The checks log under the names they are searched for in logs
// ("W32Util_MakeSafeDirectory", "W32Util_IsDirectorySafe").
#include "lib/file/filePlatform.h"

#include <aclapi.h>
#include <cstdlib>
#include <shlobj.h>
#include <vector>

#include "lib/file/fileInt.h"
#include "lib/file/fileWin32Int.h"
#include "lib/misc/logHook.h"
#include "lib/misc/platFaultWin32.h"
#include "lib/misc/utilScoped.h"

bool
FilePlat_TmpBase(std::string *out)
{
   std::vector<wchar_t> buf(MAX_PATH + 1);
   for (;;) {
      DWORD n = GetTempPathW((DWORD)buf.size(), buf.data());
      if (n == 0) {
         return false;
      }
      if (n < buf.size()) {
         return FileWin32ToUtf8(buf.data(), out);
      }
      buf.resize(n + 1);
   }
}

bool
FilePlat_LocalAppData(std::string *out)
{
   wchar_t buf[MAX_PATH];
   HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                 SHGFP_TYPE_CURRENT, buf);
   if (FAILED(hr)) {
      SetLastError(HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr)
                                                          : ERROR_PATH_NOT_FOUND);
      return false;
   }
   return FileWin32ToUtf8(buf, out);
}

bool
FilePlat_UserName(std::string *out)
{
   wchar_t name[257];
   DWORD size = sizeof name / sizeof name[0];
   return GetUserNameW(name, &size) && FileWin32ToUtf8(name, out);
}

namespace {

// The process's (or an impersonating thread's) user and the Administrators group.
class FileSids {
public:
   FileSids()
   {
      HANDLE token;
      if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
          !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
         return;
      }
      UtilWinHandle owned(token);
      DWORD size = 0;
      GetTokenInformation(token, TokenUser, nullptr, 0, &size);
      userBuf_.resize(size);
      if (size != 0 && GetTokenInformation(token, TokenUser, userBuf_.data(), size, &size)) {
         user_ = reinterpret_cast<TOKEN_USER *>(userBuf_.data())->User.Sid;
      }
      DWORD adminSize = sizeof admin_;
      if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admin_, &adminSize)) {
         user_ = nullptr;
      }
   }
   bool ok() const { return user_ != nullptr; }
   PSID user() const { return user_; }
   PSID admin() const { return (PSID)admin_; }

private:
   std::vector<BYTE> userBuf_;
   PSID user_ = nullptr;
   BYTE admin_[SECURITY_MAX_SID_SIZE];
};

std::string
FileSafeDirStrip(const char *path)
{
   std::string s = path == nullptr ? "" : path;
   while (!s.empty() && (s.back() == '/' || s.back() == '\\')) {
      s.pop_back();
   }
   return s;
}

// Generic-all and all standard rights.
constexpr DWORD FILE_SAFE_DIR_RIGHTS = 0x101F0000;
constexpr DWORD FILE_SAFE_DIR_INHERIT = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// The protected two-entry DACL of a safe directory, with the user as owner.
bool
FileSafeDirDescriptor(const FileSids &sids, std::vector<BYTE> *aclBuf,
                      SECURITY_DESCRIPTOR *sd)
{
   static const char *const me = "W32Util_MakeSafeDirectory";
   DWORD size = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) +
                GetLengthSid(sids.admin()) + GetLengthSid(sids.user());
   aclBuf->assign(size, 0);
   ACL *acl = reinterpret_cast<ACL *>(aclBuf->data());
   if (!InitializeAcl(acl, size, ACL_REVISION)) {
      LogHook_Log("%s: Couldn't init ACL\n", me);
      return false;
   }
   // Passed down to every file and directory made inside (a minidump, a
   // log), which would otherwise get the creator's default permissions.
   if (!AddAccessAllowedAceEx(acl, ACL_REVISION, FILE_SAFE_DIR_INHERIT, FILE_SAFE_DIR_RIGHTS,
                              sids.admin()) ||
       !AddAccessAllowedAceEx(acl, ACL_REVISION, FILE_SAFE_DIR_INHERIT, FILE_SAFE_DIR_RIGHTS,
                              sids.user())) {
      LogHook_Log("%s: Couldn't add SID to DACL\n", me);
      return false;
   }
   if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION) ||
       !SetSecurityDescriptorDacl(sd, TRUE, acl, FALSE)) {
      LogHook_Log("%s: InitializeSecurityDescriptor failed: %d\n", me, (int)GetLastError());
      return false;
   }
   if (!SetSecurityDescriptorOwner(sd, sids.user(), FALSE)) {
      LogHook_Log("%s: SetSecurityDescriptorOwner failed: %d\n", me, (int)GetLastError());
      return false;
   }
   // Looked up, as systems before Windows 2000 lack it (the DACL then
   // stays open to inheritance).
   typedef BOOL(WINAPI * SetControlFn)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                       SECURITY_DESCRIPTOR_CONTROL);
   HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
   SetControlFn setControl = advapi == nullptr ? nullptr
      : reinterpret_cast<SetControlFn>(
           reinterpret_cast<void *>(GetProcAddress(advapi, "SetSecurityDescriptorControl")));
   if (setControl != nullptr && !setControl(sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      LogHook_Log("%s: SetSecurityDescriptorControl failed: %d\n", me, (int)GetLastError());
      return false;
   }
   return true;
}

}  // namespace

bool
FileWin32SafeDirSecurity(std::vector<BYTE> *selfRelative)
{
   FileSids sids;
   std::vector<BYTE> aclBuf;
   SECURITY_DESCRIPTOR sd;
   if (!sids.ok() || !FileSafeDirDescriptor(sids, &aclBuf, &sd)) {
      return false;
   }
   DWORD size = 0;
   MakeSelfRelativeSD(&sd, nullptr, &size);
   selfRelative->resize(size);
   return size != 0 && MakeSelfRelativeSD(&sd, selfRelative->data(), &size);
}

bool
FilePlat_MakeSafeDirectory(const char *path)
{
   static const char *const me = "W32Util_MakeSafeDirectory";
   std::string dir = FileSafeDirStrip(path);
   FileSids sids;
   if (!sids.ok()) {
      LogHook_Log("%s: Couldn't get local admin or user SID\n", me);
      return false;
   }
   std::vector<BYTE> aclBuf;
   SECURITY_DESCRIPTOR sd;
   if (!FileSafeDirDescriptor(sids, &aclBuf, &sd)) {
      return false;
   }
   SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
   FileWide wide(dir.c_str());
   if (!PlatFault_Allowed(PLAT_MKDIR) || !wide.ok() || !CreateDirectoryW(wide.get(), &sa)) {
      LogHook_Log("%s: CreateDirectoryW failed: %d\n", me, (int)GetLastError());
      return false;
   }
   return true;
}

namespace {

// The two explicit grants of the DACL.
bool
FileSafeDirEntriesOk(const char *dir, PSID user, PSID admin, PACL dacl)
{
   static const char *const me = "W32Util_IsDirectorySafe";
   ULONG count = 0;
   EXPLICIT_ACCESS_W *entries = nullptr;
   DWORD err = GetExplicitEntriesFromAclW(dacl, &count, &entries);
   if (err != ERROR_SUCCESS) {
      LogHook_Log("%s: GetExplicitEntriesFromAclW failed: %d\n", me, (int)err);
      return false;
   }
   bool ok = count == 2;
   if (!ok) {
      LogHook_Log("%s: Failed DACL num entries check, \"%s\"\n", me, dir);
   }
   bool adminFound = false;
   bool userFound = false;
   for (ULONG i = 0; ok && i < count; i++) {
      const EXPLICIT_ACCESS_W &e = entries[i];
      if (e.Trustee.TrusteeForm != TRUSTEE_IS_SID) {
         LogHook_Log("%s: Failed trustee SID identity check, \"%s\"\n", me, dir);
         ok = false;
         break;
      }
      if (e.grfAccessMode != GRANT_ACCESS || !(e.grfAccessPermissions & READ_CONTROL) ||
          (e.grfInheritance & FILE_SAFE_DIR_INHERIT) != FILE_SAFE_DIR_INHERIT) {
         continue;
      }
      PSID who = reinterpret_cast<PSID>(e.Trustee.ptstrName);
      adminFound = adminFound || EqualSid(who, admin);
      userFound = userFound || EqualSid(who, user);
   }
   if (ok && !(adminFound && userFound)) {
      LogHook_Log("%s: Failed cur user and admin ACE presence check, \"%s\"\n", me, dir);
      ok = false;
   }
   LocalFree(entries);
   return ok;
}

// A directory itself, not a link or junction that leads to one.
bool
FileSafeDirIsRealDir(const char *dir, DWORD attributes)
{
   if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
       (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      LogHook_Log("%s: Failed directory attributes check, \"%s\"\n", "W32Util_IsDirectorySafe",
                  dir);
      return false;
   }
   return true;
}

}  // namespace

bool
FileWin32SafeDirVerdict(const char *dir, DWORD attributes, PSECURITY_DESCRIPTOR sd, PSID user,
                        PSID admin)
{
   static const char *const me = "W32Util_IsDirectorySafe";
   if (!FileSafeDirIsRealDir(dir, attributes)) {
      return false;
   }
   PSID owner = nullptr;
   PACL dacl = nullptr;
   BOOL present = FALSE, defaulted = FALSE;
   if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) ||
       !GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present ||
       dacl == nullptr) {
      LogHook_Log("%s: Failed DACL presence check, \"%s\"\n", me, dir);
      return false;
   }
   if (owner != nullptr && !EqualSid(owner, user) && !EqualSid(owner, admin)) {
      LogHook_Log("%s: Failed owner SID match, \"%s\"\n", me, dir);
      return false;
   }
   SECURITY_DESCRIPTOR_CONTROL control = 0;
   DWORD revision = 0;
   if (!GetSecurityDescriptorControl(sd, &control, &revision)) {
      LogHook_Log("%s: GetSecurityDescriptorControl failed: %d\n", me, (int)GetLastError());
      return false;
   }
   if (!(control & SE_DACL_PROTECTED)) {
      LogHook_Log("%s: Failed DACL inherit check, \"%s\"\n", me, dir);
      return false;
   }
   return FileSafeDirEntriesOk(dir, user, admin, dacl);
}

bool
FilePlat_IsDirectorySafe(const char *path)
{
   static const char *const me = "W32Util_IsDirectorySafe";
   std::string dir = FileSafeDirStrip(path);
   FileWide wide(dir.c_str());
   DWORD attrs = PlatFault_Allowed(PLAT_STAT) && wide.ok() ? GetFileAttributesW(wide.get())
                                                           : INVALID_FILE_ATTRIBUTES;
   if (!FileSafeDirIsRealDir(dir.c_str(), attrs)) {
      return false;
   }
   FileSids sids;
   if (!sids.ok()) {
      LogHook_Log("%s: Couldn't get local admin or user SID\n", me);
      return false;
   }
   PSECURITY_DESCRIPTOR sd = nullptr;
   DWORD err = GetNamedSecurityInfoW(wide.get(), SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, nullptr, nullptr, &sd);
   if (err != ERROR_SUCCESS) {
      LogHook_Log("%s: GetNamedSecurityInfoW failed: %d\n", me, (int)err);
      return false;
   }
   bool safe = FileWin32SafeDirVerdict(dir.c_str(), attrs, sd, sids.user(), sids.admin());
   LocalFree(sd);
   return safe;
}

namespace {

/*
 * The thread's token for an access check: its own when it impersonates,
 * else one of the process's, had by impersonating itself for a moment.
 * True with *token null when the system has no tokens at all.
 */
bool
FileAccessToken(HANDLE *token)
{
   static const char *const me = "FileIsWritableDir";
   *token = nullptr;
   if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token)) {
      return true;
   }
   DWORD err = GetLastError();
   if (err == ERROR_CALL_NOT_IMPLEMENTED) {
      return true;
   }
   if (err != ERROR_NO_TOKEN) {
      LogHook_Warning("FILE: %s: Cannot get the thread access token (error %d).\n", me, (int)err);
      return false;
   }
   if (!ImpersonateSelf(SecurityImpersonation)) {
      LogHook_Warning("FILE: %s: Unable to impersonate self (error %d).\n", me,
                      (int)GetLastError());
      return false;
   }
   bool ok = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token) != 0;
   err = GetLastError();
   RevertToSelf();
   if (!ok) {
      LogHook_Warning("FILE: %s: Cannot get the process access token (error %d).\n", me, (int)err);
   }
   return ok;
}

// The directory's owner, group and DACL, in a buffer grown until they fit.
bool
FileDirSecurity(const wchar_t *path, std::vector<BYTE> *buf)
{
   static const char *const me = "FileIsWritableDir";
   SECURITY_INFORMATION what =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
   DWORD needed = 0;
   while (!GetFileSecurityW(path, what, buf->empty() ? nullptr : buf->data(),
                            (DWORD)buf->size(), &needed)) {
      DWORD err = GetLastError();
      if (err != ERROR_INSUFFICIENT_BUFFER) {
         LogHook_Warning("FILE: %s: Cannot get the directory's security descriptor."
                         "Directory is \"%S\", error is %d.\n", me, path, (int)err);
         return false;
      }
      buf->resize(needed);
   }
   return true;
}

}  // namespace

bool
FilePlat_IsWritableDir(const char *path)
{
   if (!PlatFault_Allowed(PLAT_STAT)) {
      return false;
   }
   FileWide wide(path);
   HANDLE rawToken;
   if (!wide.ok() || !FileAccessToken(&rawToken)) {
      return false;
   }
   if (rawToken == nullptr) {
      return true;
   }
   UtilWinHandle token(rawToken);
   std::vector<BYTE> sd;
   bool writable = false;
   if (FileDirSecurity(wide.get(), &sd)) {
      PSID owner = nullptr;
      PSID group = nullptr;
      BOOL defaulted;
      GetSecurityDescriptorOwner(sd.data(), &owner, &defaulted);
      GetSecurityDescriptorGroup(sd.data(), &group, &defaulted);
      if (owner == nullptr && group == nullptr) {
         writable = true;
      } else {
         GENERIC_MAPPING mapping = {0x120089, 0x120116, 0x1200A0, 0x1201BF};
         DWORD desired = FILE_GENERIC_WRITE;
         MapGenericMask(&desired, &mapping);
         BYTE privileges[20];
         DWORD privilegesSize = sizeof privileges;
         DWORD granted = 0;
         BOOL status = FALSE;
         if (AccessCheck(sd.data(), token.Get(), desired, &mapping,
                         reinterpret_cast<PRIVILEGE_SET *>(privileges), &privilegesSize,
                         &granted, &status)) {
            writable = status != FALSE;
         } else {
            LogHook_Warning("FILE: %s: Unable to check access rights (error %d).\n",
                            "FileIsWritableDir", (int)GetLastError());
         }
      }
   }
   return writable;
}

namespace {

// The rights that let a grantee read a file's bytes.
constexpr DWORD FILE_READ_RIGHTS = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED;

// Whether an entry of a file's DACL lets anyone but SYSTEM, the
// Administrators and the user the process runs as (who reads the file)
// read it. Denials and entries only inherited give nothing.
bool
FileAceOpensToOthers(const ACE_HEADER *header, PSID self)
{
   if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
      return false;
   }
   const auto *allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(header);
   PSID who = (PSID)&allowed->SidStart;
   return (allowed->Mask & FILE_READ_RIGHTS) != 0 && !IsWellKnownSid(who, WinLocalSystemSid) &&
          !IsWellKnownSid(who, WinBuiltinAdministratorsSid) && !EqualSid(who, self);
}

}  // namespace

bool
FilePlat_OthersMayRead(const char *path, bool *others)
{
   FileWide wide(path);
   if (!PlatFault_Allowed(PLAT_STAT)) {
      return false;
   }
   if (!wide.ok()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
   }
   FileSids sids;
   if (!sids.ok()) {
      SetLastError(ERROR_NO_TOKEN);
      return false;
   }
   PSECURITY_DESCRIPTOR sd = nullptr;
   PACL dacl = nullptr;
   DWORD err = GetNamedSecurityInfoW(wide.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, &dacl, nullptr, &sd);
   if (err != ERROR_SUCCESS) {
      SetLastError(err);
      return false;
   }
   bool open = dacl == nullptr;  // no DACL at all: everybody may do everything
   for (DWORD i = 0; !open && i < dacl->AceCount; i++) {
      void *ace = nullptr;
      open = !GetAce(dacl, i, &ace) ||
             FileAceOpensToOthers(static_cast<ACE_HEADER *>(ace), sids.user());
   }
   LocalFree(sd);
   *others = open;
   SetLastError(0);
   return true;
}
