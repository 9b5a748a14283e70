// Receivers of the throughput benchmark; see benchPeers.h.
#include "bench/benchPeers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "protocol/salvorProto.h"
#include "tools/salvorClient.h"
#include "tools/salvorSocket.h"

namespace fs = std::filesystem;

BareReplyLoop::BareReplyLoop()
{
   std::string error;
   fd_ = SalvorBindLoopbackUdp(&addr_, &error);
   if (fd_ < 0) {
      throw std::runtime_error("bare reply loop: " + error);
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
   close(fd_);
}

void
BareReplyLoop::Run()
{
   uint8_t buf[SALVOR_RECV_BUFFER_SIZE];
   for (;;) {
      sockaddr_in src{};
      socklen_t slen = sizeof src;
      ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&src), &slen);
      if (n < (ssize_t)SALVOR_HEADER_SIZE) {
         continue;
      }
      std::memset(buf + SALVOR_OFF_STATUS, 0, 4);
      sendto(fd_, buf, SALVOR_HEADER_SIZE, 0, reinterpret_cast<sockaddr *>(&src), slen);
   }
}

namespace {

// A UDP port that nothing uses right now.
uint16_t
FreeUdpPort()
{
   int fd = socket(AF_INET, SOCK_DGRAM, 0);
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   socklen_t len = sizeof addr;
   bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
   getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
   close(fd);
   return ntohs(addr.sin_port);
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

sockaddr_in
CollectorProcess::Address() const
{
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   addr.sin_port = htons(port_);
   return addr;
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
