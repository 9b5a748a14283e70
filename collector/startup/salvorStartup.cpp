// Start-up checks; see salvorStartup.h.
#include "collector/startup/salvorStartup.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "collector/platform/salvorPlat.h"
#include "collector/startup/salvorConfig.h"
#include "lib/net/net.h"
#include "lib/file/file.h"
#include "lib/file/fileIO.h"
#include "lib/log/log.h"
#include "lib/misc/utilScoped.h"
#include "lib/string/str.h"

namespace {

constexpr uint16_t SALVOR_WINSOCK_VERSION = 2;  // 2.0: major 2, minor 0

}  // namespace

void
SalvorWin32InitLog(const char *format, ...)
{
   if (!SalvorConfig.debugMode) {
      return;
   }
   if (!SalvorConfig.initLogPathSet) {
      UtilCString dir(File_GetSafeTmpDir(false));
      // Without a safe directory there is no init log file; the console
      // copy below still shows every message.
      if (dir != nullptr &&
          Str_Snprintf(SalvorConfig.initLogPath, sizeof SalvorConfig.initLogPath, "%s%s%s",
                       dir.get(), DIRSEPS, SALVOR_INIT_LOG_NAME) < 0) {
         // A cut path would name another file: keep to the console.
         SalvorConfig.initLogPath[0] = '\0';
         std::fprintf(stderr, "The init log's path in %s is too long; the start-up trace "
                      "goes to the console only.\n", dir.get());
      }
      SalvorConfig.initLogPathSet = true;
   }
   char msg[1024];
   va_list args;
   va_start(args, format);
   Str_Vsnprintf(msg, sizeof msg, format, args);
   va_end(args);

   std::fputs(msg, stderr);
   if (SalvorConfig.initLogPath[0] == '\0') {
      return;
   }
   FILE *f = SalvorPlat_OpenTextAppend(SalvorConfig.initLogPath);
   if (f != nullptr) {
      std::fputs(msg, f);
      std::fflush(f);
      std::fclose(f);
   }
}

int
SalvorWin32ProbeDirectory(const char *dir)
{
   UtilCString owned(Str_Asprintf(nullptr, "%s%s%s", dir, DIRSEPS, SALVOR_PROBE_FILE_NAME));
   const char *probe = owned.get();
   if (probe == nullptr) {
      int err = errno;
      SalvorWin32InitLog("Could not allocate memory for tmp file foo (error = %d)\n", err);
      return err != 0 ? err : ENOMEM;
   }
   if (!File_MakeDir(dir)) {
      SalvorWin32InitLog("Couldn't create the directory %s, trying the directory hirerachy "
                         "(error = %d).\n", dir, errno);
      if (!File_MakeDirTree(dir, nullptr)) {
         int err = errno != 0 ? errno : EIO;
         SalvorWin32InitLog("Couldn't create the directory hirerachy for %s (error = %d).\n",
                            dir, err);
         return err;
      }
   }
   FileIOFile fd;
   FileIO_InitFile(&fd);
   FileIOStatus status = FileIO_CreatePrompt(&fd, probe, FILEIO_ACCESS_WRITE | FILEIO_DENY_WRITE,
                                             2 /* cancel */);
   if (status != FILEIO_SUCCESS) {
      int err = errno != 0 ? errno : EIO;
      SalvorWin32InitLog("Could not create tmp file %s for writing. Is the directory %s "
                         "writable? (error = %d)\n", probe, dir, err);
      return err;
   }
   FileIO_CloseFile(&fd);
   File_Remove(probe);
   return 0;
}

bool
SalvorWin32InitWinsock()
{
   uint16_t granted = 0;
   int err = Net_Startup(SALVOR_WINSOCK_VERSION, &granted);
   if (err != 0) {
      Log("Couldn't initialize winsock interface (returned error: %d)\n", err);
      return false;
   }
   if ((granted & 0xff) != 2) {
      Net_Cleanup();
      Log("Winsock version mismatch.\n");
      return false;
   }
   return true;
}

namespace {

std::atomic<void (*)(const char *)> fatalObserver{nullptr};

}  // namespace

void
SalvorSetFatalObserver(void (*observer)(const char *text))
{
   fatalObserver.store(observer);
}

void
SalvorFatal(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   char *text = Str_Vasprintf(nullptr, format, args);
   va_end(args);
   if (text != nullptr) {
      std::fprintf(stderr, "%s", text);
      Log("%s\n", text);
      if (auto observer = fatalObserver.load()) {
         observer(text);
      }
      std::free(text);
   }
   std::exit(1);
}
