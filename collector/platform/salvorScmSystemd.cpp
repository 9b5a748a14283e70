// systemd back end of the service control manager layer; see salvorScm.h.
//
// - The registration is a unit file "<name>.service" in /etc/systemd/system
//   (or $SALVOR_SYSTEMD_UNIT_DIR), Type=notify; when systemd is the running
//   init, "systemctl daemon-reload" and "systemctl enable" (or "disable")
//   follow each change.
// - A process was started by the manager when $NOTIFY_SOCKET is set. The
//   dispatcher blocks SIGTERM, SIGINT and SIGHUP on the main thread, runs
//   the service main on a second thread and turns SIGTERM and SIGINT into
//   the stop control (1), SIGHUP into interrogate (4). The start parameters
//   are the words of $SALVOR_START_PARAMETERS.
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
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>
#include <vector>

#include "lib/misc/platFaultPosix.h"

extern char **environ;

struct SalvorScmHandle {
   std::string unitDir;
   std::string name;  // the service's name; empty for the manager
};

namespace {

constexpr const char *DEFAULT_UNIT_DIR = "/etc/systemd/system";

// Set by the service thread, called by the dispatcher's: shared, hence atomic.
std::atomic<SalvorControlHandlerFn> controlHandler{nullptr};

std::string
UnitDir()
{
   const char *dir = std::getenv("SALVOR_SYSTEMD_UNIT_DIR");
   return dir != nullptr && dir[0] != '\0' ? dir : DEFAULT_UNIT_DIR;
}

std::string
UnitPath(const SalvorScmHandle *service)
{
   return service->unitDir + "/" + service->name + ".service";
}

// Runs systemctl with the given words; its exit status, or -1.
int
Systemctl(std::vector<std::string> words)
{
   words.insert(words.begin(), "systemctl");
   std::vector<char *> argv;
   for (auto &w : words) {
      argv.push_back(w.data());
   }
   argv.push_back(nullptr);
   pid_t pid;
   if (posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ) != 0) {
      return -1;
   }
   int status = 0;
   while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
   }
   return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool
SystemdRunning()
{
   return sd_booted() > 0;
}

bool
WriteNewFile(const std::string &path, const std::string &content)
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

struct DispatchArgs {
   SalvorServiceMainFn serviceMain;
   std::vector<std::string> words;
   pthread_t dispatcher;
};

void *
ServiceMainThread(void *arg)
{
   auto *args = static_cast<DispatchArgs *>(arg);
   std::vector<char *> argv;
   for (auto &w : args->words) {
      argv.push_back(w.data());
   }
   argv.push_back(nullptr);
   args->serviceMain((int)args->words.size(), argv.data());
   // Wakes the dispatcher, which waits for signals.
   pthread_kill(args->dispatcher, SIGUSR1);
   return nullptr;
}

}  // namespace

SalvorScmHandle *
SalvorScm_OpenManager(bool forCreate)
{
   std::string dir = UnitDir();
   struct stat st;
   if (stat(dir.c_str(), &st) != 0) {
      return nullptr;
   }
   if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return nullptr;
   }
   if (forCreate && access(dir.c_str(), W_OK) != 0) {
      return nullptr;
   }
   return new SalvorScmHandle{dir, ""};
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
      if (n > 0) {
         errno = ENAMETOOLONG;
      }
      return false;
   }
   buf[n] = '\0';
   return true;
}

SalvorScmHandle *
SalvorScm_CreateService(SalvorScmHandle *manager, const SalvorServiceIdentity *identity,
                        const char *exePath)
{
   auto *service = new SalvorScmHandle{manager->unitDir, identity->name};
   // Automatic start, the system account, its own process; the start
   // parameters come from an optional environment file.
   std::string unit = std::string("[Unit]\n") +
                      "Description=" + identity->displayName + "\n" +
                      "After=network.target\n"
                      "\n"
                      "[Service]\n"
                      "Type=notify\n"
                      "EnvironmentFile=-/etc/default/" + identity->name + "\n" +
                      "ExecStart=" + exePath + "\n" +
                      "User=root\n"
                      "TimeoutStopSec=6\n"
                      "\n"
                      "[Install]\n"
                      "WantedBy=multi-user.target\n";
   if (!WriteNewFile(UnitPath(service), unit)) {
      delete service;
      return nullptr;
   }
   if (SystemdRunning()) {
      Systemctl({"daemon-reload"});
      Systemctl({"enable", identity->name + std::string(".service")});
   }
   return service;
}

bool
SalvorScm_SetDescription(SalvorScmHandle *service, const char *description)
{
   // systemd has one description line, the display name: the longer
   // description is kept as the unit's first comment.
   std::string path = UnitPath(service);
   FILE *in = std::fopen(path.c_str(), "r");
   if (in == nullptr) {
      return false;
   }
   std::string content = std::string("# ") + description + "\n";
   char buf[4096];
   size_t n;
   while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
      content.append(buf, n);
   }
   std::fclose(in);
   std::string tmp = path + ".new";
   unlink(tmp.c_str());
   if (!WriteNewFile(tmp, content)) {
      return false;
   }
   if (rename(tmp.c_str(), path.c_str()) != 0) {
      int err = errno;
      unlink(tmp.c_str());
      errno = err;
      return false;
   }
   return true;
}

SalvorScmHandle *
SalvorScm_OpenService(SalvorScmHandle *manager, const char *name)
{
   auto *service = new SalvorScmHandle{manager->unitDir, name};
   if (access(UnitPath(service).c_str(), F_OK) != 0) {
      delete service;
      return nullptr;
   }
   return service;
}

bool
SalvorScm_QueryState(SalvorScmHandle *service, uint32_t *state)
{
   // Without systemd running nothing can run the unit.
   bool active = SystemdRunning() &&
                 Systemctl({"is-active", "--quiet", service->name + ".service"}) == 0;
   *state = active ? 4 : 1;
   return true;
}

bool
SalvorScm_DeleteService(SalvorScmHandle *service)
{
   if (SystemdRunning()) {
      Systemctl({"disable", service->name + ".service"});
   }
   if (!PlatFault_Allowed(PLAT_UNLINK) || unlink(UnitPath(service).c_str()) != 0) {
      return false;
   }
   if (SystemdRunning()) {
      Systemctl({"daemon-reload"});
   }
   return true;
}

bool
SalvorScm_StartDispatcher(const char *name, SalvorServiceMainFn serviceMain)
{
   const char *socket = std::getenv("NOTIFY_SOCKET");
   if (socket == nullptr || socket[0] == '\0') {
      return false;  // started from a console
   }
   DispatchArgs args{serviceMain, {name}, pthread_self()};
   if (const char *params = std::getenv("SALVOR_START_PARAMETERS")) {
      std::string word;
      for (const char *p = params;; p++) {
         if (*p == '\0' || *p == ' ' || *p == '\t') {
            if (!word.empty()) {
               args.words.push_back(word);
               word.clear();
            }
            if (*p == '\0') {
               break;
            }
         } else {
            word += *p;
         }
      }
   }

   sigset_t set;
   sigemptyset(&set);
   sigaddset(&set, SIGTERM);
   sigaddset(&set, SIGINT);
   sigaddset(&set, SIGHUP);
   sigaddset(&set, SIGUSR1);
   pthread_sigmask(SIG_BLOCK, &set, nullptr);  // the service thread inherits it

   pthread_t thread;
   if (pthread_create(&thread, nullptr, ServiceMainThread, &args) != 0) {
      return false;
   }
   for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) {
         continue;
      }
      if (sig == SIGUSR1) {
         break;  // the service main has returned
      }
      if (SalvorControlHandlerFn handler = controlHandler.load()) {
         handler(sig == SIGHUP ? 4 : 1);
      }
   }
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
   case 2:  // start pending
      msg = "EXTEND_TIMEOUT_USEC=" + std::to_string((uint64_t)status->waitHint * 1000) + "\n";
      break;
   case 4:  // running
      msg = "READY=1\n";
      break;
   case 3:  // stop pending
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
SalvorScm_ReportError(const char *text)
{
   // No openlog: the log library may have its own ident open.
   syslog(LOG_DAEMON | LOG_ERR, "%s", text);
}
