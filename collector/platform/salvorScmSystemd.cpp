// systemd back end of the service control manager layer; see salvorScm.h.
//
// - The registration is a unit file "<name>.service" in /etc/systemd/system
//   (or $SALVOR_SYSTEMD_UNIT_DIR), Type=notify; when systemd is the running
//   init, "systemctl daemon-reload" and "systemctl enable" (or "disable")
//   follow each change. A unit that a package installed under
//   /lib/systemd/system or /usr/lib/systemd/system (or the directories of
//   $SALVOR_SYSTEMD_VENDOR_UNIT_DIRS, separated by ':') counts as
//   registered too, but is the package's to remove.
// - $SALVOR_SYSTEMCTL names the systemctl program to run; when it is set,
//   systemd counts as the running init (tests play the manager with it).
// - A process was started by the manager when $NOTIFY_SOCKET is set. The
//   dispatcher blocks SIGTERM, SIGINT and SIGHUP on the main thread, runs
//   the service main on a second thread and turns SIGTERM and SIGINT into
//   the stop control, SIGHUP into interrogate. The start parameters
//   are the words of $SALVOR_START_PARAMETERS, quoted as in a shell.
// - State reports are sd_notify messages: start pending is a STATUS= line
//   with EXTEND_TIMEOUT_USEC from the wait hint, running is READY=1, stop
//   pending STOPPING=1, stopped a last STATUS= line.
#include "collector/platform/salvorScm.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>
#include <vector>

#include "lib/misc/platFaultPosix.h"
#include "lib/misc/utilScoped.h"

extern char **environ;

struct SalvorScmHandle {
   std::string unitDir;
   std::string name;      // the service's name; empty for the manager
   std::string unitPath;  // where the service's unit was found
   bool packaged;         // found in a package's unit directory
};

namespace {

constexpr const char *DEFAULT_UNIT_DIR = "/etc/systemd/system";
constexpr const char *DEFAULT_VENDOR_UNIT_DIRS = "/lib/systemd/system:/usr/lib/systemd/system";

// Set by the service main's thread, called on the dispatcher's.
std::atomic<SalvorControlHandlerFn> controlHandler{nullptr};

thread_local std::string lastErrorText;

// Fails the current call with `err` and, when given, the operator's words.
bool
SalvorScmFail(int err, const std::string &text = "")
{
   lastErrorText = text;
   errno = err;
   return false;
}

std::string
SalvorScmUnitDir()
{
   const char *dir = std::getenv("SALVOR_SYSTEMD_UNIT_DIR");
   return dir != nullptr && dir[0] != '\0' ? dir : DEFAULT_UNIT_DIR;
}

std::vector<std::string>
SalvorScmVendorUnitDirs()
{
   const char *list = std::getenv("SALVOR_SYSTEMD_VENDOR_UNIT_DIRS");
   std::string text = list != nullptr ? list : DEFAULT_VENDOR_UNIT_DIRS;
   std::vector<std::string> dirs;
   size_t at = 0;
   while (at <= text.size()) {
      size_t colon = text.find(':', at);
      if (colon == std::string::npos) {
         colon = text.size();
      }
      if (colon > at) {
         dirs.push_back(text.substr(at, colon - at));
      }
      at = colon + 1;
   }
   return dirs;
}

std::string
SalvorScmUnitName(const std::string &name)
{
   return name + ".service";
}

// The unit in the administrator's directory, then in the packages'.
bool
SalvorScmFindUnit(const std::string &unitDir, const std::string &name, std::string *path,
                  bool *packaged)
{
   std::vector<std::string> dirs = SalvorScmVendorUnitDirs();
   dirs.insert(dirs.begin(), unitDir);
   for (size_t i = 0; i < dirs.size(); i++) {
      std::string candidate = dirs[i] + "/" + SalvorScmUnitName(name);
      if (access(candidate.c_str(), F_OK) == 0) {
         *path = candidate;
         *packaged = i > 0;
         return true;
      }
   }
   return false;
}

const char *
SalvorScmSystemctlProgram()
{
   const char *program = std::getenv("SALVOR_SYSTEMCTL");
   return program != nullptr && program[0] != '\0' ? program : "systemctl";
}

bool
SalvorScmSystemdRunning()
{
   const char *program = std::getenv("SALVOR_SYSTEMCTL");
   return (program != nullptr && program[0] != '\0') || sd_booted() > 0;
}

/*
 * Runs systemctl with the given words; true when it exits with 0. Its
 * standard output goes to *out when asked for; its standard error stays
 * ours, so that its own reason reaches the operator.
 */
bool
SalvorScmSystemctl(std::vector<std::string> words, std::string *out = nullptr)
{
   std::string command = "systemctl";
   for (const auto &w : words) {
      command += " " + w;
   }
   words.insert(words.begin(), SalvorScmSystemctlProgram());
   std::vector<char *> argv;
   for (auto &w : words) {
      argv.push_back(w.data());
   }
   argv.push_back(nullptr);
   int pipeFds[2] = {-1, -1};
   if (out != nullptr && pipe2(pipeFds, O_CLOEXEC) != 0) {
      return SalvorScmFail(errno, "cannot run " + command + ": " + std::strerror(errno));
   }
   UtilFd readEnd(pipeFds[0]);
   UtilFd writeEnd(pipeFds[1]);
   posix_spawn_file_actions_t actions;
   posix_spawn_file_actions_init(&actions);
   if (out != nullptr) {
      posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
   }
   pid_t pid;
   int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
   posix_spawn_file_actions_destroy(&actions);
   if (err != 0) {
      return SalvorScmFail(err, "cannot run " + command + ": " + std::strerror(err));
   }
   if (out != nullptr) {
      writeEnd.Reset();  // the child's copy alone keeps the pipe open
      char buf[512];
      ssize_t n;
      while ((n = Util_RetryOnEintr([&] { return read(readEnd.Get(), buf, sizeof buf); })) > 0) {
         out->append(buf, (size_t)n);
      }
   }
   int status = 0;
   Util_RetryOnEintr([&] { return waitpid(pid, &status, 0); });
   if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return SalvorScmFail(
         EIO, command + (WIFEXITED(status)
                            ? " failed with exit status " + std::to_string(WEXITSTATUS(status))
                            : " was ended by a signal"));
   }
   return true;
}

bool
SalvorScmWriteNewFile(const std::string &path, const std::string &content)
{
   if (!PlatFault_Allowed(PLAT_OPEN)) {
      return false;
   }
   int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
   if (fd < 0) {
      return false;
   }
   bool ok = write(fd, content.data(), content.size()) == (ssize_t)content.size();
   int err = errno;
   ok = close(fd) == 0 && ok;
   if (!ok) {
      unlink(path.c_str());
      errno = err != 0 ? err : EIO;
   }
   return ok;
}

/*
 * A word of a unit's command line: quoted, so that blanks stay inside,
 * with the characters that quoting alone does not protect escaped: the
 * backslash and the quote, control characters, and "%", which starts a
 * specifier even inside quotes.
 */
std::string
SalvorScmUnitQuote(const std::string &word)
{
   std::string out = "\"";
   for (unsigned char c : word) {
      if (c == '\\' || c == '"') {
         out += '\\';
         out += (char)c;
      } else if (c == '%') {
         out += "%%";
      } else if (c < 0x20 || c == 0x7f) {
         char hex[8];
         std::snprintf(hex, sizeof hex, "\\x%02x", c);
         out += hex;
      } else {
         out += (char)c;
      }
   }
   return out + "\"";
}

std::string
SalvorScmUnitText(const SalvorServiceIdentity *identity, const char *exePath)
{
   // Automatic start, the system account, its own process; the start
   // parameters come from an optional environment file. systemd has one
   // description line, the display name: the longer description is kept
   // as the unit's first comment.
   return std::string("# ") + identity->description + "\n" +
          "[Unit]\n" +
          "Description=" + identity->displayName + "\n" +
          "After=network.target\n"
          "\n"
          "[Service]\n"
          "Type=notify\n"
          "EnvironmentFile=-/etc/default/" + identity->name + "\n" +
          "ExecStart=" + SalvorScmUnitQuote(exePath) + "\n" +
          "User=root\n"
          "TimeoutStopSec=6\n"
          "\n"
          "[Install]\n"
          "WantedBy=multi-user.target\n";
}

// Makes systemd see the new unit and start it at boot; undoes it all on failure.
bool
SalvorScmRegisterUnit(const std::string &path, const std::string &name)
{
   if (!SalvorScmSystemdRunning()) {
      return true;
   }
   bool reloaded = SalvorScmSystemctl({"daemon-reload"});
   if (reloaded && SalvorScmSystemctl({"enable", SalvorScmUnitName(name)})) {
      return true;
   }
   std::string why = lastErrorText;
   unlink(path.c_str());
   if (reloaded) {
      SalvorScmSystemctl({"daemon-reload"});
   }
   return SalvorScmFail(EIO, why + "; the unit was not registered");
}

/*
 * Splits the start parameters into words as a shell does: blanks separate
 * words; single quotes keep everything up to the next one; double quotes
 * keep everything but a backslash before one of \ " $ `; a backslash
 * outside quotes keeps the next character. False on an unterminated quote.
 */
bool
SalvorScmSplitStartParameters(const char *text, std::vector<std::string> *words)
{
   std::string word;
   bool inWord = false;
   for (const char *p = text; *p != '\0'; p++) {
      if (*p == ' ' || *p == '\t' || *p == '\n') {
         if (inWord) {
            words->push_back(word);
            word.clear();
            inWord = false;
         }
         continue;
      }
      inWord = true;
      if (*p == '\'') {
         const char *close = std::strchr(p + 1, '\'');
         if (close == nullptr) {
            return false;
         }
         word.append(p + 1, close);
         p = close;
      } else if (*p == '"') {
         for (p++; *p != '"'; p++) {
            if (*p == '\0') {
               return false;
            }
            if (*p == '\\' && p[1] != '\0' && std::strchr("\\\"$`", p[1]) != nullptr) {
               p++;
            }
            word += *p;
         }
      } else if (*p == '\\' && p[1] != '\0') {
         word += *++p;
      } else {
         word += *p;
      }
   }
   if (inWord) {
      words->push_back(word);
   }
   return true;
}

struct DispatchArgs {
   SalvorServiceMainFn serviceMain;
   std::vector<std::string> words;
   int doneFd;  // an eventfd: no other process can wake the dispatcher
};

void *
SalvorScmServiceMainThread(void *arg)
{
   auto *args = static_cast<DispatchArgs *>(arg);
   std::vector<char *> argv;
   for (auto &w : args->words) {
      argv.push_back(w.data());
   }
   argv.push_back(nullptr);
   args->serviceMain((int)args->words.size(), argv.data());
   uint64_t one = 1;
   Util_RetryOnEintr([&] { return write(args->doneFd, &one, sizeof one); });
   return nullptr;
}

// Delivers the control signals until the service main's thread says it is done.
void
SalvorScmDispatchControls(int signalFd, int doneFd)
{
   for (;;) {
      pollfd fds[2] = {{signalFd, POLLIN, 0}, {doneFd, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
         continue;  // EINTR
      }
      if (fds[1].revents != 0) {
         return;
      }
      signalfd_siginfo info;
      if (fds[0].revents == 0 || read(signalFd, &info, sizeof info) != (ssize_t)sizeof info) {
         continue;
      }
      if (SalvorControlHandlerFn handler = controlHandler.load()) {
         handler(info.ssi_signo == SIGHUP ? SALVOR_CONTROL_INTERROGATE : SALVOR_CONTROL_STOP);
      }
   }
}

}  // namespace

SalvorScmHandle *
SalvorScm_OpenManager(bool forCreate)
{
   std::string dir = SalvorScmUnitDir();
   struct stat st;
   if (stat(dir.c_str(), &st) != 0) {
      SalvorScmFail(errno);
      return nullptr;
   }
   if (!S_ISDIR(st.st_mode)) {
      SalvorScmFail(ENOTDIR);
      return nullptr;
   }
   if (forCreate && access(dir.c_str(), W_OK) != 0) {
      SalvorScmFail(errno);
      return nullptr;
   }
   return new SalvorScmHandle{dir, "", "", false};
}

void
SalvorScm_CloseHandle(SalvorScmHandle *handle)
{
   delete handle;
}

bool
SalvorScm_ExecutablePath(char *buf, size_t size)
{
   ssize_t n = readlink("/proc/self/exe", buf, size - 1);
   if (n <= 0 || (size_t)n >= size - 1) {
      return SalvorScmFail(n > 0 ? ENAMETOOLONG : errno);
   }
   buf[n] = '\0';
   return true;
}

SalvorScmHandle *
SalvorScm_CreateService(SalvorScmHandle *manager, const SalvorServiceIdentity *identity,
                        const char *exePath)
{
   auto *service = new SalvorScmHandle{manager->unitDir, identity->name, "", false};
   service->unitPath = manager->unitDir + "/" + SalvorScmUnitName(identity->name);
   std::string found;
   bool packaged = false;
   // A package's unit would be shadowed by ours, not replaced.
   if (SalvorScmFindUnit(manager->unitDir, identity->name, &found, &packaged)) {
      delete service;
      SalvorScmFail(EEXIST, "it is registered already (" + found + ")");
      return nullptr;
   }
   // The whole unit is written before systemd is told of it.
   if (!SalvorScmWriteNewFile(service->unitPath, SalvorScmUnitText(identity, exePath))) {
      SalvorScmFail(errno);
      delete service;
      return nullptr;
   }
   if (!SalvorScmRegisterUnit(service->unitPath, identity->name)) {
      delete service;
      return nullptr;
   }
   return service;
}

bool
SalvorScm_SetDescription(SalvorScmHandle *service, const char *description)
{
   // The unit is made with the description as its first comment: it is
   // rewritten only when that is another text.
   std::string path = service->unitPath;
   std::string old;
   {
      UtilStdioFile in(std::fopen(path.c_str(), "r"));
      if (in == nullptr) {
         return SalvorScmFail(errno);
      }
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, in.get())) > 0) {
         old.append(buf, n);
      }
   }
   std::string comment = std::string("# ") + description + "\n";
   if (old.compare(0, comment.size(), comment) == 0) {
      return true;
   }
   std::string tmp = path + ".new";
   unlink(tmp.c_str());
   if (!SalvorScmWriteNewFile(tmp, comment + old)) {
      return SalvorScmFail(errno);
   }
   if (rename(tmp.c_str(), path.c_str()) != 0) {
      int err = errno;
      unlink(tmp.c_str());
      return SalvorScmFail(err);
   }
   return true;
}

bool
SalvorScm_SetRestartOnFailure(SalvorScmHandle *service, uint32_t delayMs)
{
   // The unit written here leaves restarts to the administrator (the
   // package's unit has its own).
   (void)service;
   (void)delayMs;
   return true;
}

bool
SalvorScm_ProgramIsProtected(const char *exePath)
{
   (void)exePath;  // the unit directory itself is root's alone
   return true;
}

bool
SalvorScm_RegisterLogSource(const char *source, const char *exePath)
{
   (void)source;  // syslog needs no registration
   (void)exePath;
   return true;
}

SalvorScmHandle *
SalvorScm_OpenService(SalvorScmHandle *manager, const char *name)
{
   if (!PlatFault_Allowed(PLAT_SERVICE)) {
      SalvorScmFail(errno);
      return nullptr;
   }
   auto *service = new SalvorScmHandle{manager->unitDir, name, "", false};
   if (!SalvorScmFindUnit(manager->unitDir, name, &service->unitPath, &service->packaged)) {
      delete service;
      SalvorScmFail(ENOENT);
      return nullptr;
   }
   return service;
}

const char *
SalvorScm_ServiceLocation(SalvorScmHandle *service, bool *packaged)
{
   *packaged = service->packaged;
   return service->unitPath.c_str();
}

bool
SalvorScm_QueryState(SalvorScmHandle *service, uint32_t *state)
{
   if (!SalvorScmSystemdRunning()) {
      *state = SALVOR_STATE_STOPPED;  // nothing can run the unit
      return true;
   }
   std::string out;
   if (!SalvorScmSystemctl(
          {"show", "--property=ActiveState", "--value", SalvorScmUnitName(service->name)}, &out)) {
      return false;
   }
   while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
      out.pop_back();
   }
   if (out == "inactive" || out == "failed") {
      *state = SALVOR_STATE_STOPPED;
   } else if (out == "activating") {
      *state = SALVOR_STATE_START_PENDING;
   } else if (out == "deactivating") {
      *state = SALVOR_STATE_STOP_PENDING;
   } else if (out == "active" || out == "reloading" || out == "refreshing") {
      *state = SALVOR_STATE_RUNNING;
   } else {
      return SalvorScmFail(EPROTO, "systemctl reports the state \"" + out + "\"");
   }
   return true;
}

bool
SalvorScm_DeleteService(SalvorScmHandle *service)
{
   if (service->packaged) {
      return SalvorScmFail(EPERM, "it came with a package");
   }
   if (SalvorScmSystemdRunning() &&
       !SalvorScmSystemctl({"disable", SalvorScmUnitName(service->name)})) {
      return SalvorScmFail(EIO, lastErrorText + "; the unit stays");
   }
   if (!PlatFault_Allowed(PLAT_UNLINK) || unlink(service->unitPath.c_str()) != 0) {
      return SalvorScmFail(errno);
   }
   if (SalvorScmSystemdRunning() && !SalvorScmSystemctl({"daemon-reload"})) {
      return SalvorScmFail(EIO, "the unit was removed, but " + lastErrorText);
   }
   return true;
}

const char *
SalvorScm_LastErrorText()
{
   if (lastErrorText.empty()) {
      lastErrorText = std::strerror(errno);
   }
   return lastErrorText.c_str();
}

bool
SalvorScm_StartDispatcher(const char *name, SalvorServiceMainFn serviceMain)
{
   const char *socket = std::getenv("NOTIFY_SOCKET");
   if (socket == nullptr || socket[0] == '\0') {
      return false;  // started from a console
   }
   DispatchArgs args{serviceMain, {name}, -1};
   const char *params = std::getenv("SALVOR_START_PARAMETERS");
   if (params != nullptr && !SalvorScmSplitStartParameters(params, &args.words)) {
      // Passed on whole, as one word: the service main refuses it.
      std::fprintf(stderr, "salvor: SALVOR_START_PARAMETERS has an unterminated quote: %s\n",
                   params);
      args.words.resize(1);
      args.words.push_back(params);
   }

   sigset_t set;
   sigemptyset(&set);
   sigaddset(&set, SIGTERM);
   sigaddset(&set, SIGINT);
   sigaddset(&set, SIGHUP);
   pthread_sigmask(SIG_BLOCK, &set, nullptr);  // the service thread inherits it
   // Log-rotation tools send SIGUSR1; this service has nothing to reopen,
   // and the signal must not end it.
   std::signal(SIGUSR1, SIG_IGN);
   UtilFd signalFd(signalfd(-1, &set, SFD_CLOEXEC));
   UtilFd doneFd(eventfd(0, EFD_CLOEXEC));
   if (!signalFd || !doneFd) {
      std::fprintf(stderr, "salvor: cannot wait for control signals: %s\n",
                   std::strerror(errno));
      return false;
   }
   args.doneFd = doneFd.Get();
   pthread_t thread;
   if (pthread_create(&thread, nullptr, SalvorScmServiceMainThread, &args) != 0) {
      return false;
   }
   SalvorScmDispatchControls(signalFd.Get(), doneFd.Get());
   pthread_join(thread, nullptr);
   return true;
}

void *
SalvorScm_RegisterControlHandler(const char *name, SalvorControlHandlerFn handler)
{
   (void)name;
   controlHandler.store(handler);
   return reinterpret_cast<void *>(&controlHandler);
}

bool
SalvorScm_SetStatus(void *statusHandle, const SalvorServiceStatus *status, const char *text)
{
   (void)statusHandle;
   std::string msg;
   switch (status->currentState) {
   case SALVOR_STATE_START_PENDING:
      msg = "EXTEND_TIMEOUT_USEC=" + std::to_string((uint64_t)status->waitHint * 1000) + "\n";
      break;
   case SALVOR_STATE_RUNNING:
      msg = "READY=1\n";
      break;
   case SALVOR_STATE_STOP_PENDING:
      msg = "STOPPING=1\n";
      break;
   default:
      break;
   }
   if (text != nullptr) {
      msg += std::string("STATUS=") + text + "\n";
   }
   return msg.empty() || sd_notify(0, msg.c_str()) > 0;
}

void
SalvorScm_EndServiceProcess(int)
{
}

const char *
SalvorScm_NotStartedHint()
{
   return "NOTIFY_SOCKET is not set";
}

const char *
SalvorScm_StartParametersHint()
{
   return "set SALVOR_START_PARAMETERS to \"-s <config.xml>\"";
}

void
SalvorScm_ReportError(const char *text)
{
   // No openlog: the log library may have its own ident open.
   syslog(LOG_DAEMON | LOG_ERR, "%s", text);
}
