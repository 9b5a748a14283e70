// The collector as a child process; see collectorProcess.h.
#include "tests/support/collectorProcess.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "protocol/salvorProto.h"
#include "tests/support/testUtil.h"

namespace testutil {

CollectorProcess::CollectorProcess(const std::string &binary, const CollectorOptions &options)
{
   if (options.dir.empty()) {
      ownDir_.emplace();
      dir_ = ownDir_->Path();
   } else {
      dir_ = options.dir;
      std::filesystem::create_directories(dir_);
   }
   port_ = options.port != 0 ? options.port : FreeUdpPort();
   std::ostringstream config;
   config << "<config><defaultValues><port>" << port_ << "</port><level>" << options.level
          << "</level>";
   if (options.maxSize >= 0) {
      config << "<maxSize>" << options.maxSize << "</maxSize>";
   }
   config << "</defaultValues><defaultDataPath>" << DataDir()
          << "</defaultDataPath><defaultLogPath>" << dir_ << "/log</defaultLogPath>" << options.extraConfig << "</config>";
   std::string configFile = dir_ + "/salvor.xml";
   WriteFile(configFile, config.str());

   SpawnOptions spawn;
   spawn.out = Redirect::ToFile(dir_ + "/console.txt");
   spawn.err = Redirect{Redirect::ToStdout};
   spawn.env = options.env;
   spawn.openFilesSoft = options.openFilesSoft;
   spawn.openFilesHard = options.openFilesHard;
   process_ = std::make_unique<Process>(
      std::vector<std::string>{binary, "debug", "-s", configFile}, spawn);
}

CollectorProcess::~CollectorProcess()
{
   process_->Stop(std::chrono::seconds(1));
}

bool
CollectorProcess::WaitReady(std::string *why)
{
   UdpPeer peer;
   salvorMsgHeader reply;
   for (int attempt = 0; attempt < 100; attempt++) {
      if (peer.Request(Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK)), port_, &reply, 100)) {
         if (reply.status != hxk_success && why != nullptr) {
            *why = "the status check failed with status " + std::to_string(reply.status);
         }
         return reply.status == hxk_success;
      }
      if (!process_->Running()) {
         if (why != nullptr) {
            std::istringstream in(Console());
            std::string line, last;
            while (std::getline(in, line)) {
               last = line.empty() ? last : line;
            }
            *why = "the collector exited (status " + std::to_string(process_->Wait().Code()) +
                   "): " + last;
         }
         return false;
      }
   }
   if (why != nullptr) {
      *why = "the collector did not answer a status check within 100 attempts";
   }
   return false;
}

int
CollectorProcess::ExitCode()
{
   std::optional<ExitInfo> exit = process_->WaitFor(std::chrono::minutes(1));
   return exit ? exit->Code() : -1;
}

long
CollectorProcess::PeakRssKiB() const
{
   std::ifstream in("/proc/" + std::to_string(process_->Pid()) + "/status");
   std::string line;
   while (std::getline(in, line)) {
      if (line.starts_with("VmHWM:")) {
         return std::stol(line.substr(6));
      }
   }
   return -1;
}

}  // namespace testutil
