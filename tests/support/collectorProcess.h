// The collector binary run as a child process in debug mode, on a free
// port, with a scratch configuration whose data and log directories lie
// in one directory; its console output goes to a file there.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/net/net.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"

namespace testutil {

struct CollectorOptions {
   // Where the configuration, data, log and console go; created if
   // missing. Empty: a temporary directory removed at the end.
   std::string dir{};
   int level = 0;
   int maxSize = -1;  // written to the configuration when not negative
   // "NAME=value" entries added to the collector's environment.
   std::vector<std::string> env{};
   // Nonzero: the collector's open-file limit (soft, hard).
   std::uint64_t openFilesSoft = 0;
   std::uint64_t openFilesHard = 0;
   // Elements added to the configuration after the paths.
   std::string extraConfig{};
   // The port to listen on; 0: one that is free now.
   std::uint16_t port = 0;
};

// A running collector; asked to stop, then killed, when the object goes.
class CollectorProcess {
public:
   explicit CollectorProcess(const std::string &binary, const CollectorOptions &options = {});
   ~CollectorProcess();
   CollectorProcess(const CollectorProcess &) = delete;
   CollectorProcess &operator=(const CollectorProcess &) = delete;

   // Waits until the collector answers a status check with success; when
   // it does not, `why` (if given) says what happened.
   bool WaitReady(std::string *why = nullptr);
   bool Running() { return process_->Running(); }
   pid_t Pid() const { return process_->Pid(); }
   // Ends the collector at once, as a crash would.
   void Kill() { process_->Kill(); }
   // The exit code once the collector has ended by itself (within a
   // minute), or -1.
   int ExitCode();

   uint16_t Port() const { return port_; }
   NetAddr Address() const { return NetAddr{NET_LOOPBACK, port_}; }
   const std::string &Dir() const { return dir_; }
   std::string DataDir() const { return dir_ + "/data"; }
   std::string Log() const { return ReadFile(dir_ + "/log/salvor.log"); }
   std::string Console() const { return ReadFile(dir_ + "/console.txt"); }
   // Peak resident set size in KiB (VmHWM), or -1.
   long PeakRssKiB() const;

private:
   std::optional<TempDir> ownDir_;
   std::string dir_;
   uint16_t port_ = 0;
   std::unique_ptr<Process> process_;
};

}  // namespace testutil
