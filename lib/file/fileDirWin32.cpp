// Win32 back end of the calls below an open directory and on open
// handles; see fileDirPlatform.h. GetLastError's code is the last error.
#include "lib/file/fileDirPlatform.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <windows.h>

#include "lib/file/fileWin32Int.h"
#include "lib/misc/clockWin32.h"
#include "lib/misc/platFaultWin32.h"
#include "lib/misc/utilScoped.h"

namespace {

bool
FileDirIsSeparator(char c)
{
   return c == '\\' || c == '/';
}

// The full path of the open directory `dir` joined with `name`.
bool
FileDirPathBelow(FilePlatHandle dir, const char *name, std::wstring *out)
{
   if (std::strpbrk(name, "/\\") != nullptr) {
      SetLastError(ERROR_INVALID_NAME);
      return false;
   }
   FileWide wideName(name);
   if (!wideName.ok()) {
      return false;
   }
   std::wstring buf(32768, L'\0');
   DWORD n = GetFinalPathNameByHandleW(FileWin32Handle(dir), buf.data(), (DWORD)buf.size(),
                                       FILE_NAME_NORMALIZED);
   if (n == 0 || n >= buf.size()) {
      return false;
   }
   buf.resize(n);
   *out = buf + L"\\" + wideName.get();
   return true;
}

FileDirEntry
FileDirEntryOf(const FILE_ID_BOTH_DIR_INFO &info, const std::string &name, DWORD volume)
{
   FileDirEntry e{};
   std::snprintf(e.name, sizeof e.name, "%s", name.c_str());
   bool link = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
   bool dirBit = (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
   e.isDir = dirBit && !link;
   e.isFile = !dirBit && !link;
   e.ownerWritable = (info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
   int64_t since1970 = info.LastWriteTime.QuadPart - CLOCK_FILETIME_UNIX_EPOCH;
   e.mtimeSec = since1970 / 10000000;
   e.mtimeNsec = since1970 % 10000000 * 100;
   e.size = (uint64_t)info.EndOfFile.QuadPart;
   e.id = FileId{volume, (uint64_t)info.FileId.QuadPart};
   return e;
}

// The entries of one buffer of a listing, "." and ".." left out.
void
FileDirTakeEntries(const char *buf, DWORD volume, std::vector<FileDirEntry> *entries)
{
   for (const char *p = buf;;) {
      const auto *info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(p);
      std::wstring wide(info->FileName, info->FileNameLength / sizeof(wchar_t));
      std::string name;
      if (FileWin32ToUtf8(wide.c_str(), &name) && name != "." && name != "..") {
         entries->push_back(FileDirEntryOf(*info, name, volume));
      }
      if (info->NextEntryOffset == 0) {
         return;
      }
      p += info->NextEntryOffset;
   }
}

}  // namespace

FilePlatHandle
FilePlat_OpenAppend(const char *path, int mode)
{
   (void)mode;  // the directory's inherited access applies
   if (!PlatFault_Allowed(PLAT_OPEN)) {
      return FILEPLAT_INVALID_HANDLE;
   }
   FileWide wide(path);
   if (!wide.ok()) {
      return FILEPLAT_INVALID_HANDLE;
   }
   // Append access only: each write lands at the end, whole.
   HANDLE h = CreateFileW(wide.get(), FILE_APPEND_DATA | SYNCHRONIZE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr);
   return h == INVALID_HANDLE_VALUE ? FILEPLAT_INVALID_HANDLE : FileWin32PlatHandle(h);
}

namespace {

/*
 * Cuts the file back to `size`. The handle may only append: a second
 * handle of the same file may also set its end.
 */
void
FileDirCutBack(HANDLE h, LARGE_INTEGER size)
{
   UtilWinHandle writer(ReOpenFile(h, GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
   if (writer && SetFilePointerEx(writer.Get(), size, nullptr, FILE_BEGIN)) {
      SetEndOfFile(writer.Get());
   }
}

}  // namespace

bool
FilePlat_AppendWhole(FilePlatHandle file, const void *data, size_t length)
{
   HANDLE h = FileWin32Handle(file);
   size_t tried = length;
   LARGE_INTEGER before;
   if (!PlatFault_Allowed(PLAT_WRITE, &tried, file)) {
      return false;
   }
   if (length > 0x7fffffff) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
   }
   if (!GetFileSizeEx(h, &before)) {
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
      FileDirCutBack(h, before);
   }
   SetLastError(err);
   return false;
}

bool
FilePlat_HandleSize(FilePlatHandle h, uint64_t *size)
{
   LARGE_INTEGER li;
   if (!PlatFault_Allowed(PLAT_STAT, nullptr, h) || !GetFileSizeEx(FileWin32Handle(h), &li)) {
      return false;
   }
   *size = (uint64_t)li.QuadPart;
   return true;
}

bool
FilePlat_FreeBytes(const char *path, uint64_t *freeBytes)
{
   if (!PlatFault_Allowed(PLAT_STAT)) {
      return false;
   }
   FileWide wide(path);
   ULARGE_INTEGER available;
   if (!wide.ok() || !GetDiskFreeSpaceExW(wide.get(), &available, nullptr, nullptr)) {
      return false;
   }
   *freeBytes = available.QuadPart;
   return true;
}

bool
FilePlat_IsFullPath(const char *path)
{
   bool drive = std::isalpha((unsigned char)path[0]) && path[1] == ':' &&
                FileDirIsSeparator(path[2]);
   bool share = FileDirIsSeparator(path[0]) && FileDirIsSeparator(path[1]);
   return drive || share;
}

bool
FilePlat_MayExecute(const char *path)
{
   // What CreateProcessW starts, or the command interpreter runs.
   const char *dot = std::strrchr(path, '.');
   for (const char *ext : {".exe", ".com", ".cmd", ".bat"}) {
      if (dot != nullptr && _stricmp(dot, ext) == 0) {
         return true;
      }
   }
   SetLastError(ERROR_BAD_EXE_FORMAT);
   return false;
}

bool
FilePlat_ListDirAt(FilePlatHandle dir, std::vector<FileDirEntry> *entries)
{
   HANDLE h = FileWin32Handle(dir);
   BY_HANDLE_FILE_INFORMATION dirInfo;
   if (!PlatFault_Allowed(PLAT_LISTDIR, nullptr, dir) || !GetFileInformationByHandle(h, &dirInfo)) {
      return false;
   }
   alignas(8) static thread_local char buf[64 * 1024];
   FILE_INFO_BY_HANDLE_CLASS cls = FileIdBothDirectoryRestartInfo;
   for (;;) {
      if (!GetFileInformationByHandleEx(h, cls, buf, sizeof buf)) {
         return GetLastError() == ERROR_NO_MORE_FILES;
      }
      cls = FileIdBothDirectoryInfo;
      FileDirTakeEntries(buf, dirInfo.dwVolumeSerialNumber, entries);
   }
}

bool
FilePlat_RemoveDirAt(FilePlatHandle dir, const char *name)
{
   std::wstring path;
   return PlatFault_Allowed(PLAT_RMDIR) && FileDirPathBelow(dir, name, &path) &&
          RemoveDirectoryW(path.c_str());
}
