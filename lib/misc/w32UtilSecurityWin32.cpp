// Who may change a file or directory, and directories that only
// administrators may change; see w32Util.h.
#include "lib/misc/w32Util.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"

namespace {

// Rights that change an object or what it holds.
constexpr DWORD WRITE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                               FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                               WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// The system account, the Administrators group, the installer's account.
const char *const ADMIN_SIDS[] = {
   "S-1-5-18",
   "S-1-5-32-544",
   "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
};

std::string
W32UtilSidText(PSID sid)
{
   wchar_t *text = nullptr;
   if (!ConvertSidToStringSidW(sid, &text)) {
      return "an unknown account";
   }
   UtilLocalPtr<wchar_t> owned(text);
   UtilHeapPtr<char> utf8(Win32Text_ToUtf8(text));
   return utf8 == nullptr ? "an unknown account" : utf8.get();
}

// The account's name for the operator ("BUILTIN\Users"), else its SID.
std::string
W32UtilAccountName(PSID sid)
{
   wchar_t name[256], domain[256];
   DWORD nameSize = 256, domainSize = 256;
   SID_NAME_USE use;
   if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
      std::wstring full = domainSize > 0 ? std::wstring(domain) + L"\\" + name : name;
      UtilHeapPtr<char> utf8(Win32Text_ToUtf8(full.c_str()));
      if (utf8 != nullptr) {
         return utf8.get();
      }
   }
   return W32UtilSidText(sid);
}

bool
W32UtilIsAdminSid(PSID sid)
{
   std::string text = W32UtilSidText(sid);
   for (const char *admin : ADMIN_SIDS) {
      if (text == admin) {
         return true;
      }
   }
   return false;
}

/*
 * The entries that apply to the object itself and grant rights: false,
 * with the reason, when one lets somebody else write. An allowing entry
 * of a kind this does not read counts as such.
 */
bool
W32UtilDaclIsAdminOnly(PACL dacl, std::string *why)
{
   for (DWORD i = 0; i < dacl->AceCount; i++) {
      ACE_HEADER *header = nullptr;
      if (!GetAce(dacl, i, reinterpret_cast<void **>(&header))) {
         *why = "its access list cannot be read";
         return false;
      }
      if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) {
         continue;  // for what is made inside, not for the object
      }
      switch (header->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
         auto *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header);
         PSID sid = reinterpret_cast<PSID>(&ace->SidStart);
         if ((ace->Mask & WRITE_RIGHTS) != 0 && !W32UtilIsAdminSid(sid)) {
            *why = "writable by " + W32UtilAccountName(sid);
            return false;
         }
         break;
      }
      case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
      case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
         *why = "its access list has an entry of a kind not checked here";
         return false;
      default:
         break;  // denials, audits and labels grant nothing
      }
   }
   return true;
}

}  // namespace

bool
W32Util_DescriptorIsAdminOnly(const void *descriptor, std::string *why)
{
   auto *sd = const_cast<PSECURITY_DESCRIPTOR>(descriptor);
   PSID owner = nullptr;
   BOOL defaulted = FALSE;
   if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) || owner == nullptr) {
      *why = "it has no owner";
      return false;
   }
   if (!W32UtilIsAdminSid(owner)) {
      *why = "owned by " + W32UtilAccountName(owner);
      return false;
   }
   BOOL present = FALSE;
   PACL dacl = nullptr;
   if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present ||
       dacl == nullptr) {
      *why = "it has no access list, so anyone may change it";
      return false;
   }
   return W32UtilDaclIsAdminOnly(dacl, why);
}

bool
W32Util_IsAdminOnly(const char *path, std::string *why)
{
   UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(path));
   if (wide == nullptr) {
      *why = "the path cannot be converted";
      return false;
   }
   PSECURITY_DESCRIPTOR sd = nullptr;
   DWORD err = GetNamedSecurityInfoW(wide.get(), SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, nullptr, nullptr, &sd);
   if (err != ERROR_SUCCESS) {
      *why = "its owner and access list cannot be read (error " + std::to_string(err) + ")";
      return false;
   }
   UtilLocalPtr<void> owned(sd);
   return W32Util_DescriptorIsAdminOnly(sd, why);
}

bool
W32Util_MakeAdminOnlyDirectory(const char *path)
{
   UtilHeapPtr<wchar_t> wide(Win32Text_ToUtf16(path));
   UtilHeapPtr<wchar_t> sddl(Win32Text_ToUtf16(W32UTIL_ADMIN_ONLY_SDDL));
   if (wide == nullptr || sddl == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
   }
   // The owner part is left out on the second try.
   const wchar_t *lists[] = {sddl.get(), wcsstr(sddl.get(), L"D:")};
   DWORD err = ERROR_SUCCESS;
   for (const wchar_t *list : lists) {
      PSECURITY_DESCRIPTOR sd = nullptr;
      if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(list, SDDL_REVISION_1, &sd,
                                                                nullptr)) {
         return false;
      }
      UtilLocalPtr<void> owned(sd);
      SECURITY_ATTRIBUTES attributes = {sizeof attributes, sd, FALSE};
      BOOL made = CreateDirectoryW(wide.get(), &attributes);
      err = made ? ERROR_SUCCESS : GetLastError();
      if (err != ERROR_INVALID_OWNER) {
         break;
      }
   }
   SetLastError(err);
   return err == ERROR_SUCCESS;
}
