// The operations tests' platform back end on POSIX: the test plays the
// service manager, with a notify socket nobody reads and SIGTERM to stop.
#include "tests/collector/opsPlatform.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <fstream>

#include "tests/support/notifySocket.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"

namespace testutil {

struct ServiceCollector::State {
   explicit State(const std::string &dir) : notify(dir + "/notify") {}
   NotifySocket notify;
   std::unique_ptr<Process> process;
};

ServiceCollector::ServiceCollector(const std::string &binary, const std::string &config,
                                   const std::string &dir)
   : state_(std::make_unique<State>(dir))
{
   SpawnOptions options;
   options.out = Redirect::ToFile(dir + "/console.txt");
   options.err = Redirect(Redirect::ToStdout);
   options.env = {"NOTIFY_SOCKET=" + state_->notify.Path(), "SALVOR_START_PARAMETERS=-s " + config};
   state_->process = std::make_unique<Process>(std::vector<std::string>{binary}, options);
}

ServiceCollector::~ServiceCollector()
{
   state_->process->Stop(std::chrono::seconds(5));
}

bool
ServiceCollector::Running()
{
   return state_->process->Running();
}

int
ServiceCollector::Stop()
{
   kill(state_->process->Pid(), SIGTERM);
   auto exit = state_->process->WaitFor(std::chrono::seconds(20));
   return exit ? exit->Code() : -1;
}

bool
AskForegroundStop(Process &process, bool interrupt)
{
   return kill(process.Pid(), interrupt ? SIGINT : SIGTERM) == 0;
}

std::string
LinkLocalAddress()
{
   // Lines of 32 hexadecimal digits, interface number, prefix length,
   // scope (0x20: link), flags and the interface's name.
   std::ifstream list("/proc/net/if_inet6");
   std::string hex, index, prefix, scope, flags, name;
   while (list >> hex >> index >> prefix >> scope >> flags >> name) {
      if (scope != "20" || hex.size() != 32) {
         continue;
      }
      in6_addr addr{};
      for (int i = 0; i < 16; i++) {
         addr.s6_addr[i] = (uint8_t)std::stoul(hex.substr((size_t)i * 2, 2), nullptr, 16);
      }
      char text[INET6_ADDRSTRLEN];
      if (inet_ntop(AF_INET6, &addr, text, sizeof text) != nullptr) {
         return std::string(text) + "%" + name;
      }
   }
   return "";
}

bool
ProcessGone(long pid)
{
   return kill((pid_t)pid, 0) != 0 && errno == ESRCH;
}

void
EndProcess(long pid)
{
   if (pid > 1) {
      kill((pid_t)pid, SIGKILL);
   }
}

std::string
WriteHook(const std::string &dir, const std::string &base, const std::string &sh,
          const std::string &cmd)
{
   (void)cmd;
   std::string path = dir + "/" + base + ".sh";
   WriteFile(path, "#!/bin/sh\n" + sh);
   chmod(path.c_str(), 0755);
   return path;
}

}  // namespace testutil
