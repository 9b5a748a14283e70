// Win32 back end of the file library's platform layer, operations on
// names: rename, delete, directories, attributes, listings, full paths,
// file identity by name, and the two security queries (may the caller
// write a directory, does a volume keep ACLs). See filePlatform.h.
#include "lib/file/filePlatform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/file/fileWin32Int.h"
#include "lib/misc/platFaultWin32.h"

bool
FileWin32ToUtf8(const wchar_t *wide, std::string *out)
{
   char *text = Win32Text_ToUtf8(wide);
   if (text == nullptr) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return false;
   }
   out->assign(text);
   std::free(text);
   return true;
}

bool
FilePlat_Rename(const char *from, const char *to)
{
   if (!PlatFault_Allowed(PLAT_RENAME)) {
      return false;
   }
   FileWide wideFrom(from);
   FileWide wideTo(to);
   return wideFrom.ok() && wideTo.ok() &&
          MoveFileExW(wideFrom.get(), wideTo.get(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool
FilePlat_Delete(const char *path)
{
   if (!PlatFault_Allowed(PLAT_UNLINK)) {
      return false;
   }
   FileWide wide(path);
   return wide.ok() && DeleteFileW(wide.get()) != 0;
}

bool
FilePlat_CreateDirectory(const char *path, int mode)
{
   (void)mode;  // a new directory takes its parent's inheritable ACL
   if (!PlatFault_Allowed(PLAT_MKDIR)) {
      return false;
   }
   FileWide wide(path);
   return wide.ok() && CreateDirectoryW(wide.get(), nullptr) != 0;
}

bool
FilePlat_RemoveDirectory(const char *path)
{
   if (!PlatFault_Allowed(PLAT_RMDIR)) {
      return false;
   }
   FileWide wide(path);
   return wide.ok() && RemoveDirectoryW(wide.get()) != 0;
}

namespace {

int64_t
FileWin32Time(const FILETIME &t)
{
   return (int64_t)(((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime);
}

// GetFileAttributesW of path, with the fault seam; INVALID_FILE_ATTRIBUTES on failure.
DWORD
FileWin32Attributes(const char *path)
{
   if (!PlatFault_Allowed(PLAT_STAT)) {
      return INVALID_FILE_ATTRIBUTES;
   }
   FileWide wide(path);
   return wide.ok() ? GetFileAttributesW(wide.get()) : INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool
FilePlat_GetAttributes(const char *path, FilePlatAttrs *attrs)
{
   if (!PlatFault_Allowed(PLAT_STAT)) {
      return false;
   }
   FileWide wide(path);
   WIN32_FILE_ATTRIBUTE_DATA data;
   if (!wide.ok() || !GetFileAttributesExW(wide.get(), GetFileExInfoStandard, &data)) {
      return false;
   }
   if (attrs != nullptr) {
      // The times stay in the system's unit: 100 ns since 1601.
      attrs->accessTime = FileWin32Time(data.ftLastAccessTime);
      attrs->creationTime = FileWin32Time(data.ftCreationTime);
      attrs->writeTime = FileWin32Time(data.ftLastWriteTime);
      attrs->size = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
      attrs->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      attrs->readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
   }
   return true;
}

bool
FilePlat_GetFileType(const char *path, FilePlatFileType *type)
{
   // GetFileAttributesW reports a reparse point itself, not its target.
   DWORD attrs = FileWin32Attributes(path);
   if (attrs == INVALID_FILE_ATTRIBUTES) {
      return false;
   }
   *type = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) ? FILEPLAT_TYPE_LINK
           : (attrs & FILE_ATTRIBUTE_DIRECTORY)   ? FILEPLAT_TYPE_DIRECTORY
           : (attrs & FILE_ATTRIBUTE_DEVICE)      ? FILEPLAT_TYPE_OTHER
                                                  : FILEPLAT_TYPE_REGULAR;
   return true;
}

namespace {

// Opens path (links followed) only to look at it: no data access.
HANDLE
FileWin32OpenToLook(const char *path)
{
   FileWide wide(path);
   if (!wide.ok()) {
      return INVALID_HANDLE_VALUE;
   }
   return CreateFileW(wide.get(), FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool
FilePlat_GetTargetType(const char *path, FilePlatFileType *type)
{
   if (!PlatFault_Allowed(PLAT_STAT)) {
      return false;
   }
   FileWin32Owned h(FileWin32OpenToLook(path));
   if (!h) {
      return false;
   }
   // A console, a pipe or a device reads like no file does.
   BY_HANDLE_FILE_INFORMATION info;
   if (GetFileType(h.Get()) != FILE_TYPE_DISK) {
      *type = FILEPLAT_TYPE_OTHER;
   } else if (GetFileInformationByHandle(h.Get(), &info)) {
      *type = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FILEPLAT_TYPE_DIRECTORY
                                                                : FILEPLAT_TYPE_REGULAR;
   } else {
      return false;
   }
   SetLastError(0);
   return true;
}

struct FilePlatDir {
   HANDLE find;
   WIN32_FIND_DATAW first;  // the entry FindFirstFileW found, not yet handed out
   bool haveFirst;
};

FilePlatDir *
FilePlat_OpenDir(const char *path)
{
   if (!PlatFault_Allowed(PLAT_LISTDIR) || path == nullptr) {
      if (path == nullptr) {
         SetLastError(ERROR_INVALID_ADDRESS);
      }
      return nullptr;
   }
   std::string pattern = path;
   if (pattern.empty() || (pattern.back() != '\\' && pattern.back() != '/')) {
      pattern += '\\';
   }
   pattern += "*.*";
   FileWide wide(pattern.c_str());
   if (!wide.ok()) {
      return nullptr;
   }
   FilePlatDir *dir = new FilePlatDir;
   dir->find = FindFirstFileW(wide.get(), &dir->first);
   if (dir->find == INVALID_HANDLE_VALUE) {
      UtilSavedError keep;
      delete dir;
      return nullptr;
   }
   dir->haveFirst = true;
   return dir;
}

bool
FilePlat_ReadDir(FilePlatDir *dir, std::string *name)
{
   if (!PlatFault_Allowed(PLAT_LISTDIR)) {
      return false;
   }
   WIN32_FIND_DATAW next;
   const WIN32_FIND_DATAW *entry = &dir->first;
   if (dir->haveFirst) {
      dir->haveFirst = false;
   } else if (FindNextFileW(dir->find, &next)) {
      entry = &next;
   } else {
      return false;  // ERROR_NO_MORE_FILES at the end
   }
   return FileWin32ToUtf8(entry->cFileName, name);
}

bool
FilePlat_CloseDir(FilePlatDir *dir)
{
   int injected = PlatFault_Check(PLAT_CLOSE);
   bool ok = FindClose(dir->find) != 0 && injected == 0;
   DWORD err = injected != 0 ? PlatFaultWin32Error(injected) : GetLastError();
   if (injected != 0) {
      errno = injected;
   }
   delete dir;
   SetLastError(ok ? 0 : err);
   return ok;
}

bool
FilePlat_FullPath(const char *path, std::string *out)
{
   if (!PlatFault_Allowed(PLAT_STAT)) {
      return false;
   }
   // No path stands for the current directory, as with _wfullpath.
   FileWide wide(path == nullptr ? "." : path);
   if (!wide.ok()) {
      return false;
   }
   std::vector<wchar_t> buf(MAX_PATH);
   for (;;) {
      DWORD n = GetFullPathNameW(wide.get(), (DWORD)buf.size(), buf.data(), nullptr);
      if (n == 0) {
         return false;
      }
      if (n < buf.size()) {
         return FileWin32ToUtf8(buf.data(), out);
      }
      buf.resize(n);
   }
}

bool
FilePlat_SameFile(const char *a, const char *b)
{
   FileWin32Owned ha, hb;
   if (PlatFault_Allowed(PLAT_STAT)) {
      ha.Reset(FileWin32OpenToLook(a));
      hb.Reset(FileWin32OpenToLook(b));
   }
   BY_HANDLE_FILE_INFORMATION ia, ib;
   return ha && hb && GetFileInformationByHandle(ha.Get(), &ia) &&
          GetFileInformationByHandle(hb.Get(), &ib) &&
          ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
          ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool
FilePlat_VolumeSupportsAcls(const char *root, bool *supports)
{
   if (!PlatFault_Allowed(PLAT_STAT)) {
      return false;
   }
   // The root must end in a backslash; "C:/" is made "C:\".
   std::string r = root == nullptr ? "\\" : root;
   if (!r.empty() && r.back() == '/') {
      r.back() = '\\';
   } else if (r.empty() || r.back() != '\\') {
      r += '\\';
   }
   FileWide wide(r.c_str());
   DWORD flags = 0;
   if (!wide.ok() ||
       !GetVolumeInformationW(wide.get(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
      return false;
   }
   *supports = (flags & FILE_PERSISTENT_ACLS) != 0;
   return true;
}

void
FilePlat_SleepMs(uint32_t ms)
{
   Sleep(ms);
}
