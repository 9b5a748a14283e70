// Establishing the log's outputs: finding the file's name, opening it,
// rotating or carrying over an earlier log, and the system logger.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/misc/preferenceLookup.h"
#include "lib/file/file.h"
#include "lib/log/logInt.h"
#include "lib/log/logPlatform.h"
#include "lib/log/appLocations.h"
#include "lib/misc/msgList.h"
#include "lib/misc/panic.h"
#include "lib/misc/strFixed.h"
#include "lib/misc/utilMisc.h"
#include "lib/misc/utilScoped.h"
#include "lib/string/str.h"

namespace {

constexpr size_t COPY_CHUNK = 16384;

bool
LogEmpty(const char *text)
{
   return text == nullptr || text[0] == '\0';
}

const char *
LogErrorText()
{
   return std::strerror(errno);
}

// The generated default name in the safe temporary directory.
char *
LogGeneratedName(LogState *state, MXUserRecLock *lock)
{
   char pattern[256];
   bool haveSuffix = !LogEmpty(state->suffix);
   Str_FormatFixed(pattern, sizeof pattern, "%s%s%s-$PID.log", "quillon",
                   haveSuffix ? "-" : "", haveSuffix ? state->suffix : "");
   MXUser_ReleaseRecLock(lock);
   UtilCString dir(File_GetSafeTmpDir(true));
   MXUser_AcquireRecLock(lock);
   if (dir == nullptr) {
      Panic("Cannot get temporary directory for log file.\n");
   }
   UtilCString name(Util_ExpandString(pattern));
   if (name == nullptr) {
      Panic("Cannot get log file name.\n");
   }
   UtilCString joined(File_JoinPath(dir.get(), name.get()));
   char *full = File_FullPath(joined.get());
   return full != nullptr ? full : joined.release();
}

char *
LogResolveFileName(LogState *state, const char *fileName, const char *config)
{
   MXUserRecLock *lock = LogGetLock();
   if (!LogEmpty(config)) {
      MXUser_ReleaseRecLock(lock);
      UtilCString value(Preference_GetString(nullptr, config));
      MXUser_AcquireRecLock(lock);
      if (!LogEmpty(value.get())) {
         state->generatedName = false;
         return value.release();
      }
   }
   if (!LogEmpty(fileName)) {
      state->generatedName = false;
      return Util_SafeStrdup(fileName);
   }
   state->generatedName = true;
   return LogGeneratedName(state, lock);
}

// Copies the earlier log (state->fd) into the new file.
bool
LogCarryOver(LogState *state, int target, const char *newPath, MsgList **messages)
{
   if (!state->append && !LogPlat_Truncate(target)) {
      MsgList_Append(messages,
                     "@&!*@*@(msg.log.copyFtruncateFailed)Cannot truncate the log file '%s': %s\n",
                     newPath, LogErrorText());
      return false;
   }
   if (!LogPlat_SeekStart(state->fd)) {
      MsgList_Append(messages,
                     "@&!*@*@(msg.log.copyLseekFailed)Cannot seek to start of file '%s': %s\n",
                     state->fileName, LogErrorText());
      return false;
   }
   UtilHeapPtr<char> buffer(static_cast<char *>(Util_SafeMalloc(COPY_CHUNK)));
   char *chunk = buffer.get();
   bool ok = true;
   long n;
   while ((n = LogPlat_Read(state->fd, chunk, COPY_CHUNK)) > 0) {
      if (LogPlat_Write(target, chunk, (size_t)n) != n) {
         MsgList_Append(messages,
                        "@&!*@*@(msg.log.copyWriteFailed)A write error occurred when "
                        "copying data to '%s': %s\n",
                        newPath, LogErrorText());
         ok = false;
         break;
      }
   }
   if (n < 0) {
      // Not the end of the file: the copy would be cut short.
      MsgList_Append(messages,
                     "@&!*@*@(msg.log.copyReadFailed)A read error occurred when copying "
                     "data from '%s': %s\n",
                     state->fileName, LogErrorText());
      ok = false;
   }
   return ok;
}

void
LogSetOutputFailed(const char *fileName, const char *config, const char *id, uint32_t use,
                   MsgList **messages)
{
   MsgList_Append(messages,
                  "@&!*@*@(msg.log.setOutputFailed)Unable to establish log output as "
                  "specified.\nParameters:\nfileName (%s)\nconfig (%s)\n"
                  "systemLoggerID (%s)\nsystemLoggerUse %u\n",
                  fileName != nullptr ? fileName : "<NULL>",
                  config != nullptr ? config : "<NULL>",
                  LogEmpty(id) ? "<NULL>" : id, use);
}

bool
LogNoFileWanted(LogState *state, bool carryOver, uint32_t use, const char *id)
{
   if (use == LOG_SYSTEM_LOGGER_WITH_FILE) {
      return false;
   }
   uint32_t oldUse = state->systemLoggerUse;
   if (!LogSetupEventLog(state, id, use)) {
      return false;
   }
   if (state->fd >= 0) {
      if (carryOver && oldUse != LOG_SYSTEM_LOGGER_WITH_FILE && use == LOG_SYSTEM_LOGGER_ONLY) {
         LogCopyFileToEventLog(state, state->fd);
      }
      LogPlat_Close(state->fd);
      state->fd = -1;
   }
   if (state->fileName != nullptr) {
      File_Remove(state->fileName);
      std::free(state->fileName);
      state->fileName = nullptr;
   }
   return true;
}

/*
 * Puts fd, just opened at path, in place of the file being written,
 * copying that file's lines over first when carryOver asks it.
 */
bool
LogReplaceFile(LogState *state, int fd, const char *path, bool carryOver, uint32_t oldUse,
               uint32_t use, const char *id, MsgList **messages)
{
   bool copied = false;
   if (carryOver) {
      if (!LogCarryOver(state, fd, path, messages)) {
         LogPlat_Close(fd);
         File_Remove(path);
         return false;
      }
      copied = true;
   }
   if (LogPlat_Dup2(fd, state->fd)) {
      LogPlat_Close(fd);
   } else {
      LogPlat_Close(state->fd);
      state->fd = fd;
   }
   if (carryOver && oldUse == LOG_SYSTEM_LOGGER_NONE && use == LOG_SYSTEM_LOGGER_WITH_FILE) {
      if (!LogSetupEventLog(state, id, LOG_SYSTEM_LOGGER_WITH_FILE)) {
         return false;
      }
      LogCopyFileToEventLog(state, state->fd);
   }
   if (copied) {
      File_Remove(state->fileName);
   }
   // A copy brings the earlier banner along; a fresh file needs its own.
   state->needBanner = state->needBanner || !copied;
   return true;
}

// Takes fd, just opened at path, as the first file written.
bool
LogTakeFirstFile(LogState *state, int fd, const char *path, bool carryOver)
{
   if (carryOver && !state->append && !LogPlat_Truncate(fd)) {
      LogPlat_Close(fd);
      File_Remove(path);
      return false;
   }
   if (state->fd >= 0) {
      LogPlat_Close(state->fd);
   }
   state->fd = fd;
   state->needBanner = true;
   return true;
}

/*
 * Starts a different or first file at path. On success state->fd and
 * state->fileName name it.
 */
bool
LogStartFile(LogState *state, const char *path, const char *fileNameArg, bool carryOver,
             bool atInit, uint32_t use, const char *id, MsgList **messages)
{
   uint32_t oldUse = state->systemLoggerUse;
   int fd = -1;
   if (state->append) {
      fd = LogPlat_Open(path);
      if (fd < 0 && LogEmpty(fileNameArg)) {
         state->append = false;
      }
   }
   if (state->keepOld != 0 && !state->generatedName && carryOver && !state->append) {
      File_Rotate(path, (int)state->keepOld, state->fastRotation, nullptr);
   }

   bool renamedEarlier = false;
   if (carryOver && atInit && !state->append && state->fileName != nullptr &&
       File_Rename(state->fileName, path) == 0) {
      renamedEarlier = true;  // the earlier file carries on under the new name
   }

   if (!renamedEarlier) {
      if (!state->append) {
         fd = LogPlat_Open(path);
      }
      if (fd < 0) {
         fd = LogOpenFile(path, messages);
         if (fd < 0) {
            return false;
         }
      }
      bool ok = state->fileName != nullptr && state->fd >= 0
                   ? LogReplaceFile(state, fd, path, carryOver, oldUse, use, id, messages)
                   : LogTakeFirstFile(state, fd, path, carryOver);
      if (!ok) {
         return false;
      }
   }

   std::free(state->fileName);
   state->fileName = Util_SafeStrdup(path);
   if (!LogSetupEventLog(state, id, use)) {
      return false;
   }
   int64_t size = LogPlat_FileSize(state->fd);
   state->bytesWritten = size > 0 ? (uint64_t)size : 0;
   if (state == &logState) {
      AppLocations_Set(APP_LOCATION_LOG_FILE, path);
   }
   return true;
}

}  // namespace

bool
Log_SetOutput(LogState *state, const char *fileName, const char *config, bool carryOver,
              bool atInit, uint32_t use, const char *id, MsgList **messages)
{
   bool ok;
   if (LogEmpty(fileName) && LogEmpty(config)) {
      ok = LogNoFileWanted(state, carryOver, use, id);
   } else if (use == LOG_SYSTEM_LOGGER_ONLY) {
      ok = true;
   } else {
      UtilCString owned(LogResolveFileName(state, fileName, config));
      char *path = owned.get();
      if (state->fileName != nullptr && (std::strcmp(state->fileName, path) == 0 ||
                                         File_SameFile(state->fileName, path))) {
         uint32_t oldUse = state->systemLoggerUse;
         ok = LogSetupEventLog(state, id, use);
         if (ok && oldUse == LOG_SYSTEM_LOGGER_NONE && use == LOG_SYSTEM_LOGGER_WITH_FILE &&
             state->fd >= 0) {
            LogCopyFileToEventLog(state, state->fd);
         }
      } else {
         ok = LogStartFile(state, path, fileName, carryOver, atInit, use, id, messages);
      }
   }
   if (!ok) {
      LogSetOutputFailed(fileName, config, id, use, messages);
   }
   return ok;
}
