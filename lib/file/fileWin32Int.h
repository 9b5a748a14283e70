// What the Win32 back end files of the file library share: a UTF-16 copy
// of a path that lives as long as the call needs it, and handle casts.
#pragma once

#include <cstdlib>
#include <cwchar>
#include <vector>
#include <windows.h>

#include "lib/file/filePlatform.h"
#include "lib/misc/utilScoped.h"
#include "lib/misc/win32Text.h"

/*
 * The UTF-16 form of a UTF-8 path, freed with the object. A path that is
 * not valid UTF-8 converts to null, with ERROR_INVALID_NAME as the last
 * error, so that the call fails as for any name the system refuses.
 */
class FileWide {
public:
   explicit FileWide(const char *path) : wide_(path == nullptr ? nullptr : Win32Text_ToUtf16(path))
   {
      if (wide_ == nullptr) {
         SetLastError(path == nullptr ? ERROR_INVALID_ADDRESS : ERROR_INVALID_NAME);
      }
   }
   ~FileWide() { std::free(wide_); }
   FileWide(const FileWide &) = delete;
   FileWide &operator=(const FileWide &) = delete;

   const wchar_t *get() const { return wide_; }
   bool ok() const { return wide_ != nullptr; }
   size_t length() const { return wide_ == nullptr ? 0 : std::wcslen(wide_); }

private:
   wchar_t *wide_;
};

/*
 * The sole owner of a kernel handle whose close, like FilePlat_CloseHandle,
 * keeps the last error: the error of the call that failed before it.
 */
struct FileWin32OwnedTraits {
   using Type = HANDLE;
   static Type Invalid() { return INVALID_HANDLE_VALUE; }
   static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
   static void Release(Type h)
   {
      UtilSavedError keep;
      CloseHandle(h);
   }
};
using FileWin32Owned = UtilOwned<FileWin32OwnedTraits>;

inline HANDLE
FileWin32Handle(FilePlatHandle h)
{
   return reinterpret_cast<HANDLE>(h);
}

inline FilePlatHandle
FileWin32PlatHandle(HANDLE h)
{
   return reinterpret_cast<FilePlatHandle>(h);
}

// A wide string as UTF-8 into *out; false (last error set) when it cannot be.
bool FileWin32ToUtf8(const wchar_t *wide, std::string *out);

/*
 * The safe temporary directory's verdict on a directory `dir` (for the log
 * lines) with these attributes and security descriptor: a real directory,
 * owned by `user` or `admin`, with a protected DACL of exactly two
 * explicit grants, to each of them, that include read-control and are
 * inherited by files and directories made inside. Logs why it fails.
 */
bool FileWin32SafeDirVerdict(const char *dir, DWORD attributes, PSECURITY_DESCRIPTOR sd,
                             PSID user, PSID admin);
// The security descriptor a safe directory is made with, self-relative.
bool FileWin32SafeDirSecurity(std::vector<BYTE> *selfRelative);
