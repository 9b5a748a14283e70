// Rotation of a file's older copies: by renaming ("x-0.log" is the newest
// copy, the oldest falls off) or by renumbering ("x-<n+1>.log" is the
// newest, numbers keep growing). Failures are logged and rotation goes on.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "lib/file/file.h"
#include "lib/file/fileInt.h"
#include "lib/file/filePlatform.h"
#include "lib/misc/logHook.h"
#include "lib/misc/panic.h"
#include "lib/misc/utilScoped.h"

namespace {

// Splits at the last "." of the file name (not of a directory) into base
// and extension (the dot and what follows; empty without a dot).
void
SplitExtension(const char *fileName, std::string *base, std::string *ext)
{
   const char *slash = std::strrchr(fileName, '/');
   const char *backslash = FILEPLAT_BACKSLASH_SEPARATES ? std::strrchr(fileName, '\\') : nullptr;
   if (backslash != nullptr && (slash == nullptr || backslash > slash)) {
      slash = backslash;
   }
   const char *dot = std::strrchr(fileName, '.');
   if (dot == nullptr || (slash != nullptr && dot < slash)) {
      *base = fileName;
      ext->clear();
      return;
   }
   base->assign(fileName, (size_t)(dot - fileName));
   *ext = dot;
}

std::string
Numbered(const std::string &base, long number, const std::string &ext)
{
   return base + "-" + std::to_string(number) + ext;
}

void
FileRotateByRename(const char *fileName, const std::string &base, const std::string &ext,
                   int n, char **newName)
{
   if (n <= 0) {
      return;  // no copies to keep: the current file stays where it is
   }
   for (int i = n; i >= 0; i--) {
      std::string from = i == 0 ? std::string(fileName) : Numbered(base, i - 1, ext);
      if (i == n) {
         int err = FileDeletionRetry(from.c_str(), false, 0);
         if (err != 0 && err != ENOENT) {
            LogHook_Log("FILE: %s: failed to remove %s: %s\n", "FileRotateByRename", from.c_str(),
                        File_ErrorText(err));
         }
         continue;
      }
      std::string to = Numbered(base, i, ext);
      int err = File_Rename(from.c_str(), to.c_str());
      if (err != 0 && err != ENOENT) {
         LogHook_Log("FILE: %s: failed to rename %s -> %s: %s\n", "FileRotateByRename",
                     from.c_str(),
                     to.c_str(), File_ErrorText(err));
      }
      if (i == 0 && newName != nullptr) {
         *newName = err == 0 ? Util_SafeStrdup(to.c_str()) : nullptr;
      }
   }
}

// The number of name when it is prefix, a decimal number and ext, and
// nothing after; -1 otherwise.
long
NumberOf(const char *name, const std::string &prefix, const std::string &ext)
{
   size_t len = std::strlen(name);
   if (len <= prefix.size() + ext.size() || std::strncmp(name, prefix.c_str(), prefix.size()) != 0 ||
       std::strcmp(name + len - ext.size(), ext.c_str()) != 0) {
      return -1;
   }
   long number = 0;
   for (size_t i = prefix.size(); i < len - ext.size(); i++) {
      if (name[i] < '0' || name[i] > '9' || number > 100000000) {
         return -1;
      }
      number = number * 10 + (name[i] - '0');
   }
   return number;
}

void
FileRotateByRenumber(const char *fileName, const std::string &base, const std::string &ext,
                     int n, char **newName)
{
   UtilCString full(File_FullPath(base.c_str()));
   if (full == nullptr) {
      LogHook_Log("FILE: %s: failed to get full path for '%s'.\n", "FileRotateByRenumber",
                  base.c_str());
      return;
   }
   char *rawDir = nullptr;
   char *rawFile = nullptr;
   File_DirAndBase(full.get(), &rawDir, &rawFile);
   UtilCString dir(rawDir);
   UtilCString file(rawFile);
   if (dir == nullptr || file == nullptr || file.get()[0] == '\0') {
      LogHook_Log("FILE: %s: failed to get base dir for path '%s'.\n", "FileRotateByRenumber",
                  base.c_str());
      return;
   }
   char **listed = nullptr;
   int count = File_ListDir(dir.get(), &listed);
   if (count < 0) {
      LogHook_Log("FILE: %s: failed to read the directory '%s'.\n", "FileRotateByRenumber",
                  dir.get());
      return;
   }
   std::string prefix = std::string(file.get()) + "-";
   std::vector<long> numbers;
   for (const char *name : UtilNameList(listed, count)) {
      long number = NumberOf(name, prefix, ext);
      if (number >= 0) {
         numbers.push_back(number);
      }
   }
   std::sort(numbers.begin(), numbers.end());

   std::string dirPrefix = std::string(dir.get()) + DIRSEPS + file.get();
   long next = (numbers.empty() ? 0 : numbers.back()) + 1;
   std::string to = Numbered(dirPrefix, next, ext);
   int err = File_Rename(fileName, to.c_str());
   if (err != 0 && err != ENOENT) {
      LogHook_Log("FILE: %s: failed to rename %s -> %s failed: %s\n", "FileRotateByRenumber",
                  fileName,
                  to.c_str(), File_ErrorText(err));
   } else if (err == 0 && newName != nullptr) {
      *newName = Util_SafeStrdup(to.c_str());
   }
   if (n > 0 && numbers.size() >= (size_t)n) {
      size_t excess = numbers.size() - (size_t)n + 1;
      for (size_t i = 0; i < excess; i++) {
         std::string old = Numbered(dirPrefix, numbers[i], ext);
         int rmErr = FileDeletionRetry(old.c_str(), false, 0);
         if (rmErr != 0) {
            LogHook_Log("FILE: %s: failed to remove %s: %s\n", "FileRotateByRenumber", old.c_str(),
                        File_ErrorText(rmErr));
         }
      }
   }
}

}  // namespace

void
File_Rotate(const char *fileName, int n, bool renumber, char **newName)
{
   if (newName != nullptr) {
      *newName = nullptr;
   }
   // The log rotates from inside Log, which must never throw: a name that
   // cannot be built for want of memory ends the rotation like any other
   // failure.
   try {
      std::string base;
      std::string ext;
      SplitExtension(fileName, &base, &ext);
      if (renumber) {
         FileRotateByRenumber(fileName, base, ext, n, newName);
      } else {
         FileRotateByRename(fileName, base, ext, n, newName);
      }
   } catch (const std::bad_alloc &) {
      LogHook_Log("FILE: %s: out of memory rotating %s\n", "File_Rotate", fileName);
   }
}
