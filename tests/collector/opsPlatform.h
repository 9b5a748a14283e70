// What the operations tests need that differs between the platforms: the
// collector run as a service and stopped cleanly, a dump hook script, and
// how a loopback host and its files look to the collector.
// opsPlatformPosix.cpp and opsPlatformWin32.cpp are the back ends.
#pragma once

#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/testPlatform.h"

namespace testutil {

/*
 * The collector under a service manager, so that a stop is a clean one:
 * on POSIX the test plays the manager (a notify socket, SIGTERM); on
 * Windows the system's manager runs it as a service registered for this
 * test alone, which a stop request ends.
 */
class ServiceCollector {
public:
   // Starts `binary` with the configuration `config`; `dir` takes its console output.
   ServiceCollector(const std::string &binary, const std::string &config, const std::string &dir);
   ~ServiceCollector();
   ServiceCollector(const ServiceCollector &) = delete;
   ServiceCollector &operator=(const ServiceCollector &) = delete;

   // Why the collector could not be started at all (no right to register
   // a service, say), or "".
   const std::string &Failure() const { return failure_; }
   bool Running();
   // Asks for a clean stop and waits for it: the exit code, or -1.
   int Stop();

private:
   struct State;
   std::unique_ptr<State> state_;
   std::string failure_;
};

/*
 * Asks a collector running in the foreground (the `debug` command) to
 * stop as an operator would: Ctrl-C (`interrupt`) or a termination
 * request. False where the test cannot: on Windows a console's Ctrl-C
 * reaches only the processes that share the console.
 */
bool AskForegroundStop(Process &process, bool interrupt);

/*
 * A link-local IPv6 address of this machine with its zone
 * ("fe80::...%eth0"), to bind on without sending to it; "" when it has
 * none the test can find.
 */
std::string LinkLocalAddress();

// Whether no process (not even one ended but not yet reaped) has the id `pid`.
bool ProcessGone(long pid);
// Ends the process `pid`, when a test fails and leaves it running.
void EndProcess(long pid);

/*
 * A dump hook named `base` in `dir`: a /bin/sh script of the lines `sh`
 * on POSIX, a batch file (`base`.cmd) of the lines `cmd` on Windows.
 * Returns its path.
 */
std::string WriteHook(const std::string &dir, const std::string &base, const std::string &sh,
                      const std::string &cmd);

// The separator the collector puts between the levels of a dump's path.
constexpr const char *DUMP_PATH_SEP = TEST_ON_WINDOWS ? "\\" : "/";

/*
 * The address the collector sees a datagram from a socket bound to the
 * loopback address `ip` come from: Wine sends every datagram from
 * 127.0.0.1, whatever address the socket has (Windows and Linux keep
 * them apart).
 */
inline std::string
SeenFrom(const std::string &ip)
{
   return TestUnderWine() && ip.starts_with("127.") ? "127.0.0.1" : ip;
}

// The directory the collector keeps the dumps of IPv4 host `ip` in below `data`.
std::string HostDumpDir(const std::string &data, const std::string &ip);

// `text` as it stands inside a JSON string (or an OpenMetrics label value).
std::string Quoted(const std::string &text);

}  // namespace testutil
