// The bare reply loop of the throughput benchmark; see benchPeers.h.
#include "bench/benchPeers.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "protocol/salvorProto.h"
#include "lib/net/net.h"

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
