// The two receivers the throughput benchmark sends to: a bare reply loop
// (the ceiling for any collector on this machine) and the real collector
// run as a child process.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "lib/net/net.h"

// Receives each datagram into a 1,600-byte buffer and answers it with its
// own 48-byte header, status 0. Runs in a child process of its own on
// 127.0.0.1, as the collector does, so both are scheduled alike.
class BareReplyLoop {
public:
   BareReplyLoop();
   ~BareReplyLoop();
   NetAddr Address() const { return addr_; }

private:
   [[noreturn]] void Run();

   NetSocket fd_ = NET_INVALID_SOCKET;
   pid_t pid_ = -1;
   NetAddr addr_{};
};

// The collector binary started in debug mode with a scratch configuration
// on a free port, data and log directories under `dir`.
class CollectorProcess {
public:
   CollectorProcess(const std::string &binary, const std::filesystem::path &dir);
   ~CollectorProcess();

   // Waits until the collector answers a status check; false with a reason if not.
   bool WaitReady(std::string *error);
   NetAddr Address() const;
   const std::filesystem::path &DataDir() const { return dataDir_; }
   // Peak resident set size in KiB (VmHWM), or -1.
   long PeakRssKiB() const;

private:
   pid_t pid_ = -1;
   uint16_t port_ = 0;
   std::filesystem::path dataDir_;
   std::filesystem::path outputFile_;
};
