// Receivers of the throughput benchmark; see benchPeers.h.
#include "bench/benchPeers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "protocol/salvorProto.h"
#include "tools/salvorClient.h"
#include "lib/net/net.h"

namespace fs = std::filesystem;

BareReplyLoop::BareReplyLoop()
{
   fd_ = Net_UdpSocket();
   if (fd_ < 0 || Net_Bind(fd_, NET_LOOPBACK, 0) != 0 || Net_LocalAddr(fd_, &addr_) != 0) {
      throw std::runtime_error(std::string("bare reply loop: ") + Net_ErrorText(Net_LastError()));
   }
   pid_ = fork();
   if (pid_ == 0) {
      Run();
   }
   if (pid_ < 0) {
      throw std::runtime_error(std::string("bare reply loop: ") + strerror(errno));
   }
}

BareReplyLoop::~BareReplyLoop()
{
   kill(pid_, SIGKILL);
   waitpid(pid_, nullptr, 0);
   Net_Close(fd_);
}

void
BareReplyLoop::Run()
{
   uint8_t buf[SALVOR_RECV_BUFFER_SIZE];
   for (;;) {
      NetAddr src{};
      size_t full = 0;
      long n = Net_RecvFrom(fd_, buf, sizeof buf, &src, &full, false);
      if (n < (long)SALVOR_HEADER_SIZE) {
         continue;
      }
      std::memset(buf + SALVOR_OFF_STATUS, 0, 4);
      Net_SendTo(fd_, buf, SALVOR_HEADER_SIZE, &src);
   }
}

namespace {

// A UDP port that nothing uses right now.
uint16_t
FreeUdpPort()
{
   NetSocket sock = Net_UdpSocket();
   NetAddr addr{};
   Net_Bind(sock, NET_ANY, 0);
   Net_LocalAddr(sock, &addr);
   Net_Close(sock);
   return addr.port;
}

}  // namespace

CollectorProcess::CollectorProcess(const std::string &binary, const fs::path &dir)
   : port_(FreeUdpPort()), dataDir_(dir / "data"), outputFile_(dir / "collector.out")
{
   fs::create_directories(dataDir_);
   fs::create_directories(dir / "log");
   fs::path config = dir / "config.xml";
   std::ofstream(config) << "<config><defaultValues><port>" << port_
                         << "</port><level>0</level><maxSize>2</maxSize></defaultValues>"
                         << "<defaultDataPath>" << dataDir_.string() << "</defaultDataPath>"
                         << "<defaultLogPath>" << (dir / "log").string()
                         << "</defaultLogPath></config>\n";

   pid_ = fork();
   if (pid_ == 0) {
      int out = open(outputFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(out, 2);
      execl(binary.c_str(), binary.c_str(), "debug", "-s", config.c_str(), (char *)nullptr);
      _exit(127);
   }
}

CollectorProcess::~CollectorProcess()
{
   if (pid_ <= 0) {
      return;
   }
   kill(pid_, SIGTERM);
   for (int i = 0; i < 50; i++) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
         return;
      }
      usleep(20000);
   }
   kill(pid_, SIGKILL);
   waitpid(pid_, nullptr, 0);
}

NetAddr
CollectorProcess::Address() const
{
   return NetAddr{NET_LOOPBACK, port_};
}

bool
CollectorProcess::WaitReady(std::string *error)
{
   SalvorClient client;
   if (SalvorResult res = client.Open(Address()); !res) {
      *error = res.message;
      return false;
   }
   SalvorSendOptions opts;
   opts.timeout = std::chrono::milliseconds(100);
   opts.retries = 0;
   for (int attempt = 0; attempt < 100; attempt++) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
         pid_ = -1;
         std::ifstream in(outputFile_);
         std::string line, last;
         while (std::getline(in, line)) {
            last = line.empty() ? last : line;
         }
         *error = "collector exited (status " + std::to_string(WEXITSTATUS(status)) +
                  "): " + last;
         return false;
      }
      if (client.StatusCheck(opts)) {
         return true;
      }
   }
   *error = "collector did not answer a status check within 10 s";
   return false;
}

long
CollectorProcess::PeakRssKiB() const
{
   std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
   std::string line;
   while (std::getline(in, line)) {
      if (line.starts_with("VmHWM:")) {
         return std::stol(line.substr(6));
      }
   }
   return -1;
}
