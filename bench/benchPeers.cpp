// The bare reply loop of the throughput benchmark; see benchPeers.h.
#include "bench/benchPeers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "protocol/salvorProto.h"
#include "lib/net/net.h"

BareReplyLoop::BareReplyLoop(bool batched, const char *writeTo)
{
   fd_ = Net_UdpSocket();
   if (fd_ < 0 || Net_Bind(fd_, NET_LOOPBACK, 0) != 0 || Net_LocalAddr(fd_, &addr_) != 0) {
      throw std::runtime_error(std::string("bare reply loop: ") + Net_ErrorText(Net_LastError()));
   }
   // The collector's receive buffer, so that both hold the same bursts.
   int granted = 0;
   Net_SetReceiveBuffer(fd_, 16 << 20, true, &granted);
   pid_ = fork();
   if (pid_ == 0) {
      if (batched) {
         RunBatched();
      }
      int file = -1;
      if (writeTo != nullptr && (file = open(writeTo, O_WRONLY | O_CREAT | O_TRUNC, 0600)) < 0) {
         _exit(1);
      }
      Run(file);
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
BareReplyLoop::Run(int file)
{
   uint8_t buf[SALVOR_RECV_BUFFER_SIZE];
   for (;;) {
      NetAddr src{};
      size_t full = 0;
      long n = Net_RecvFrom(fd_, buf, sizeof buf, &src, &full, false);
      if (n < (long)SALVOR_HEADER_SIZE) {
         continue;
      }
      if (file >= 0 && n > (long)SALVOR_HEADER_SIZE) {
         uint32_t offset;
         std::memcpy(&offset, buf + SALVOR_OFF_DATAOFFSET, sizeof offset);
         if (pwrite(file, buf + SALVOR_HEADER_SIZE, (size_t)n - SALVOR_HEADER_SIZE, offset) < 0) {
            continue;
         }
      }
      std::memset(buf + SALVOR_OFF_STATUS, 0, 4);
      Net_SendTo(fd_, buf, SALVOR_HEADER_SIZE, &src);
   }
}

void
BareReplyLoop::RunBatched()
{
   constexpr int BATCH = 64;
   static uint8_t bufs[BATCH][SALVOR_RECV_BUFFER_SIZE];
   NetDatagram in[BATCH];
   NetOutgoing out[BATCH];
   for (int i = 0; i < BATCH; i++) {
      in[i] = NetDatagram{bufs[i], sizeof bufs[i], 0, {}};
   }
   // Waits inside the receive, as the collector does.
   NetRecvSet *set = Net_RecvSetCreate(in, BATCH);
   NetWakeup *wakeup = Net_WakeupCreate();
   Net_WakeupAttach(wakeup, fd_);
   for (;;) {
      int n = Net_RecvBatch(fd_, wakeup, set, 5000);
      int k = 0;
      for (int i = 0; i < n; i++) {
         if (in[i].length < SALVOR_HEADER_SIZE) {
            continue;
         }
         std::memset(bufs[i] + SALVOR_OFF_STATUS, 0, 4);
         out[k++] = NetOutgoing{bufs[i], SALVOR_HEADER_SIZE, in[i].from};
      }
      for (int at = 0; at < k;) {
         int sent = Net_SendBatch(fd_, out + at, k - at);
         at += sent > 0 ? sent : 1;
      }
   }
}
