// Path elements; see salvorPathElements.h.
#include "collector/startup/salvorPathElements.h"

#include <cerrno>
#include <cstring>

#include "collector/startup/salvorSettingSizes.h"
#include "collector/startup/salvorStartup.h"
#include "lib/file/file.h"
#include "lib/file/fileDir.h"
#include "lib/string/str.h"

namespace {

// The value, with the row's file name after a separator when it has one,
// into the row's field; the init log says what was taken.
int
SalvorStorePath(const SalvorElementRow &row, const char *text)
{
   const char *separator = row.fileName != nullptr ? DIRSEPS : "";
   const char *fileName = row.fileName != nullptr ? row.fileName : "";
   if (Str_Snprintf(row.sets.text, SALVOR_PATH_SIZE, "%s%s%s", text, separator, fileName) < 0) {
      row.sets.text[0] = '\0';
      SalvorWin32InitLog("The %s is too long (at most %d bytes): %s\n", row.what,
                         SALVOR_PATH_SIZE - 1, text);
      return ENAMETOOLONG;
   }
   SalvorWin32InitLog("%s%s%s%s\n", row.says, text, separator, fileName);
   return 0;
}

bool
SalvorIsBlank(char c)
{
   return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Why `path` cannot be started, in the init log; its error code.
int
SalvorRefuseProgram(const SalvorElementRow &row, const char *path)
{
   int err = 0;
   const char *why = nullptr;
   switch (File_CheckProgram(path, &err)) {
   case FILE_PROGRAM_OK:
      return 0;
   case FILE_PROGRAM_RELATIVE:
      why = "is not a full path";
      break;
   case FILE_PROGRAM_MISSING:
      SalvorWin32InitLog("The %s %s cannot be found: %s\n", row.what, path,
                         File_ErrorText(File_LastError()));
      break;
   case FILE_PROGRAM_NOT_FILE:
      why = "is not a regular file";
      break;
   case FILE_PROGRAM_NOT_EXECUTABLE:
      why = "is not a program that can be run";
      break;
   }
   if (why != nullptr) {
      SalvorWin32InitLog("The %s %s %s.\n", row.what, path, why);
   }
   return err != 0 ? err : EINVAL;
}

}  // namespace

int
SalvorReadDirectoryElement(const SalvorElementRow &row, const char *name, const char *text)
{
   if (text[0] == '\0') {
      // An empty path would put the probe and the dumps at the root.
      SalvorWin32InitLog("The element %s names no directory.\n", name);
      return -1;
   }
   int result = SalvorWin32ProbeDirectory(text);
   return result != 0 ? result : SalvorStorePath(row, text);
}

int
SalvorReadFilePathElement(const SalvorElementRow &row, const char *name, const char *text)
{
   if (text[0] == '\0') {
      SalvorWin32InitLog("The element %s names no file.\n", name);
      return -1;
   }
   return SalvorStorePath(row, text);
}

int
SalvorReadProgramElement(const SalvorElementRow &row, const char *name, const char *text)
{
   size_t length = std::strlen(text);
   if (length > 0 && (SalvorIsBlank(text[0]) || SalvorIsBlank(text[length - 1]))) {
      SalvorWin32InitLog("The %s \"%s\" begins or ends with white space, which would be taken "
                         "as part of its name.\n", row.what, text);
      return EINVAL;
   }
   int result = SalvorReadFilePathElement(row, name, text);
   if (result != 0) {
      return result;
   }
   result = SalvorRefuseProgram(row, text);
   if (result != 0) {
      row.sets.text[0] = '\0';
   }
   return result;
}
