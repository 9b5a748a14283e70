// Settings of the operations features; see salvorOpsConfig.h.
#include "collector/startup/salvorOpsConfig.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "collector/startup/salvorStartup.h"
#include "lib/file/file.h"
#include "lib/file/fileDir.h"
#include "lib/string/str.h"

SalvorOpsConfigRecord SalvorOpsConfig = {"", SALVOR_DEFAULT_HOOK_TIMEOUT_SEC, 0, 0, 0, ""};

void
SalvorOpsConfigReset()
{
   SalvorOpsConfig = SalvorOpsConfigRecord{"", SALVOR_DEFAULT_HOOK_TIMEOUT_SEC, 0, 0, 0, ""};
}

namespace {

bool
SalvorOpsNameIs(const char *name, const char *key)
{
   return std::strncmp(name, key, std::strlen(key)) == 0;
}

/*
 * A whole number from `min` to `max`, white space around it allowed and
 * nothing else: a typo in a limit that removes files must not read as 0.
 */
int
SalvorOpsNumber(const char *name, const char *value, int64_t min, int64_t max, int64_t *out)
{
   char *end = nullptr;
   errno = 0;
   long long v = std::strtoll(value, &end, 10);
   while (end != nullptr && (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r')) {
      end++;
   }
   if (end == value || end == nullptr || *end != '\0' || errno == ERANGE || v < min || v > max) {
      SalvorWin32InitLog("The element %s needs a whole number from %lld to %lld, not \"%s\".\n",
                         name, (long long)min, (long long)max, value);
      return -1;
   }
   *out = v;
   return 0;
}

int
SalvorOpsPath(const char *name, const char *value, char *field, const char *what)
{
   if (value[0] == '\0') {
      SalvorWin32InitLog("The element %s names no file.\n", name);
      return -1;
   }
   if (Str_Snprintf(field, SALVOR_PATH_SIZE, "%s", value) < 0) {
      field[0] = '\0';
      SalvorWin32InitLog("The %s is too long (at most %d bytes): %s\n", what,
                         SALVOR_PATH_SIZE - 1, value);
      return ENAMETOOLONG;
   }
   SalvorWin32InitLog("The %s will be: %s\n", what, value);
   return 0;
}

bool
SalvorOpsIsBlank(char c)
{
   return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

/*
 * The hook is checked once here rather than failing for every dump: it
 * must be a program that can be started wherever the collector runs.
 */
int
SalvorOpsHook(const char *name, const char *value)
{
   size_t len = std::strlen(value);
   if (len > 0 && (SalvorOpsIsBlank(value[0]) || SalvorOpsIsBlank(value[len - 1]))) {
      SalvorWin32InitLog("The dump hook \"%s\" begins or ends with white space, which would "
                         "be taken as part of its name.\n", value);
      return EINVAL;
   }
   int result = SalvorOpsPath(name, value, SalvorOpsConfig.dumpHook, "dump hook");
   if (result != 0) {
      return result;
   }
   int err = 0;
   const char *why = nullptr;
   switch (File_CheckProgram(value, &err)) {
   case FILE_PROGRAM_OK:
      return 0;
   case FILE_PROGRAM_RELATIVE:
      why = "is not a full path";
      break;
   case FILE_PROGRAM_MISSING:
      SalvorWin32InitLog("The dump hook %s cannot be found: %s\n", value,
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
      SalvorWin32InitLog("The dump hook %s %s.\n", value, why);
   }
   SalvorOpsConfig.dumpHook[0] = '\0';
   return err != 0 ? err : EINVAL;
}

}  // namespace

bool
SalvorOpsConfigApply(const char *name, const char *value, int *result)
{
   int64_t n = 0;
   if (SalvorOpsNameIs(name, "dumpHook")) {
      *result = SalvorOpsHook(name, value);
   } else if (SalvorOpsNameIs(name, "hookTimeout")) {
      *result = SalvorOpsNumber(name, value, 1, 86400, &n);
      SalvorOpsConfig.hookTimeout = *result == 0 ? (int32_t)n : SalvorOpsConfig.hookTimeout;
   } else if (SalvorOpsNameIs(name, "keepFreeMiB")) {
      *result = SalvorOpsNumber(name, value, 0, INT64_MAX >> 20, &n);
      SalvorOpsConfig.keepFreeMiB = *result == 0 ? n : SalvorOpsConfig.keepFreeMiB;
   } else if (SalvorOpsNameIs(name, "keepDays")) {
      *result = SalvorOpsNumber(name, value, 1, 100000, &n);
      SalvorOpsConfig.keepDays = *result == 0 ? (int32_t)n : SalvorOpsConfig.keepDays;
   } else if (SalvorOpsNameIs(name, "keepPerHost")) {
      *result = SalvorOpsNumber(name, value, 1, 1000000, &n);
      SalvorOpsConfig.keepPerHost = *result == 0 ? (int32_t)n : SalvorOpsConfig.keepPerHost;
   } else if (SalvorOpsNameIs(name, "metricsFile")) {
      *result = SalvorOpsPath(name, value, SalvorOpsConfig.metricsFile, "metrics file");
   } else {
      return false;
   }
   if (*result == 0 && n != 0) {
      SalvorWin32InitLog("%s will be: %lld\n", name, (long long)n);
   }
   return true;
}
