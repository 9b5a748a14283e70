// The baseline the throughput benchmark sends to: a bare reply loop, the
// ceiling for any collector on this machine. The collector itself is run
// by tests/support/collectorProcess.h.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "lib/net/net.h"

// Receives each datagram into a 1,600-byte buffer and answers it with its
// own 48-byte header, status 0. Runs in a child process of its own on
// 127.0.0.1, as the collector does, so both are scheduled alike.
class BareReplyLoop {
public:
   // batched: receive and reply with recvmmsg/sendmmsg, 64 at a time, the
   // best a loop can do on this machine. writeTo (not batched): also write
   // each payload with pwrite, at its offset, to this file before the
   // reply, the least any collector must do.
   explicit BareReplyLoop(bool batched = false, const char *writeTo = nullptr);
   ~BareReplyLoop();
   NetAddr Address() const { return addr_; }
   pid_t Pid() const { return pid_; }

private:
   [[noreturn]] void Run(int file);
   [[noreturn]] void RunBatched();

   NetSocket fd_ = NET_INVALID_SOCKET;
   pid_t pid_ = -1;
   NetAddr addr_{};
};
