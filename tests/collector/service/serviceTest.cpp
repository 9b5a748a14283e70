// The collector under a service manager, played by the test: the real
// binary started with NOTIFY_SOCKET pointing at a socket of the test,
// which reads the state reports; signals stand for the control requests.
#include <csignal>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/support/testUtil.h"

using testutil::MakeHeader;
using testutil::Encode;

namespace {

// The manager's end of NOTIFY_SOCKET.
class NotifySocket {
public:
   explicit NotifySocket(const std::string &path) : path_(path)
   {
      fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
      EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << path;
   }
   ~NotifySocket() { close(fd_); }
   const std::string &path() const { return path_; }

   // The next message, or "" when none came within the limit.
   std::string next(int timeoutMs = 10000)
   {
      timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
      setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      char buf[4096];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      return n > 0 ? std::string(buf, (size_t)n) : "";
   }

private:
   std::string path_;
   int fd_;
};

class Service : public ::testing::Test {
protected:
   void SetUp() override
   {
      port = testutil::FreeUdpPort();
      config = dir / "salvor.xml";
      WriteConfig(config, port);
   }
   void WriteConfig(const std::string &path, uint16_t p)
   {
      testutil::WriteFile(path, "<c><defaultValues><port>" + std::to_string(p) +
                                   "</port></defaultValues><defaultDataPath>" + (dir / "data") +
                                   "</defaultDataPath><defaultLogPath>" + (dir / "log") +
                                   "</defaultLogPath></c>");
   }
   std::unique_ptr<testutil::Process> start(std::vector<std::string> args,
                                            const std::string &startParameters = "")
   {
      args.insert(args.begin(), SALVOR_BINARY);
      testutil::SpawnOptions options;
      options.out = testutil::Redirect::ToFile(dir / "console.txt");
      options.err = testutil::Redirect(testutil::Redirect::ToStdout);
      options.env = {"NOTIFY_SOCKET=" + notify.path()};
      if (!startParameters.empty()) {
         options.env.push_back("SALVOR_START_PARAMETERS=" + startParameters);
      }
      return std::make_unique<testutil::Process>(args, options);
   }
   // Running is reported just before the loop binds its socket: ask again
   // for a while, as every client does.
   bool answers(uint16_t p)
   {
      testutil::UdpPeer peer("127.0.0.2");
      salvorMsgHeader reply;
      for (int attempt = 0; attempt < 50; attempt++) {
         if (peer.request(Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK)), p, &reply, 200)) {
            return reply.status == hxk_success;
         }
      }
      return false;
   }
   std::string running(uint16_t p)
   {
      return "READY=1\nSTATUS=Collecting dumps on UDP port " + std::to_string(p) + " into " +
             (dir / "data") + "\n";
   }

   testutil::TempDir dir;
   NotifySocket notify{dir / "notify"};
   uint16_t port = 0;
   std::string config;
};

const std::string STARTING = "EXTEND_TIMEOUT_USEC=6000000\nSTATUS=Starting\n";
const std::string STOPPING = "STOPPING=1\nSTATUS=Stopping\n";

TEST_F(Service, RunsFromStartParametersAndStopsAtOnceOnSigterm)
{
   auto salvor = start({}, "-s " + config);
   EXPECT_EQ(notify.next(), STARTING);
   EXPECT_EQ(notify.next(), running(port));
   EXPECT_TRUE(answers(port));

   auto asked = std::chrono::steady_clock::now();
   kill(salvor->pid(), SIGTERM);
   EXPECT_EQ(notify.next(), STOPPING);  // from the control handler
   EXPECT_EQ(notify.next(), STOPPING);  // from the service main, after the loop
   EXPECT_EQ(notify.next(), "STATUS=Stopped\n");
   auto exit = salvor->waitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->code(), 0) << "a requested stop is a clean stop";
   // The loop is woken, not left to finish its five-second wait.
   EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(4));
   EXPECT_NE(testutil::ReadFile(dir / "log/salvor.log").find("Stopping network coredump server now."),
             std::string::npos);
}

TEST_F(Service, ConfigurationOnTheCommandLineIsReadBeforeTheDispatcher)
{
   auto salvor = start({"-s", config});
   EXPECT_EQ(notify.next(), STARTING);
   EXPECT_EQ(notify.next(), running(port));
   EXPECT_TRUE(answers(port));

   // Interrogate reports the state again, unchanged.
   kill(salvor->pid(), SIGHUP);
   EXPECT_EQ(notify.next(), running(port));
   EXPECT_TRUE(answers(port));

   kill(salvor->pid(), SIGINT);
   EXPECT_EQ(notify.next(), STOPPING);
   auto exit = salvor->waitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->code(), 0);
}

TEST_F(Service, StartParametersWinOverTheCommandLineAndLoggingStartsTwice)
{
   uint16_t other = testutil::FreeUdpPort();
   std::string second = dir / "second.xml";
   WriteConfig(second, other);
   auto salvor = start({"-s", config}, "-s " + second);
   EXPECT_EQ(notify.next(), STARTING);
   EXPECT_EQ(notify.next(), running(other));
   EXPECT_TRUE(answers(other));
   kill(salvor->pid(), SIGTERM);
   auto exit = salvor->waitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->code(), 0);
}

TEST_F(Service, WithoutAConfigurationItReportsWhyAndFails)
{
   auto salvor = start({});
   EXPECT_EQ(notify.next(), STARTING);
   EXPECT_EQ(notify.next(), "READY=1\nSTATUS=Running without a configuration\n");
   EXPECT_EQ(notify.next(), STOPPING);
   EXPECT_NE(notify.next().find("STATUS=Stopped: no configuration file was given"),
             std::string::npos);
   auto exit = salvor->waitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->code(), 1) << "systemd must not read this as a clean stop";
}

TEST_F(Service, RefusedConfigurationInTheStartParametersFails)
{
   auto salvor = start({}, "-s " + (dir / "missing.xml"));
   EXPECT_EQ(notify.next(), STARTING);
   EXPECT_EQ(notify.next(), STOPPING);
   EXPECT_NE(notify.next().find("STATUS=Stopped: the configuration was refused"),
             std::string::npos);
   auto exit = salvor->waitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->code(), 1);
}

TEST(ServiceCommandLine, ShapesAndTheirExitCodes)
{
   testutil::TempDir dir;
   std::string config = dir / "salvor.xml";
   testutil::WriteFile(config, "<c><defaultDataPath>" + (dir / "data") + "</defaultDataPath></c>");
   auto run = [](std::vector<std::string> args) {
      args.insert(args.begin(), SALVOR_BINARY);
      return testutil::Run(args);
   };
   // From a console, not started by the service manager: -1 at once.
   EXPECT_EQ(run({}).exit.code(), 255);
   EXPECT_EQ(run({"-s", config}).exit.code(), 255) << "configuration read, then no manager";
   EXPECT_EQ(run({"whatever", "words", "here"}).exit.code(), 255);
   // A refused vector or configuration on the "-s" path.
   EXPECT_EQ(run({"-S", config}).exit.code(), 2) << "-s is case-sensitive in option parsing";
   EXPECT_EQ(run({"-s", dir / "missing.xml"}).exit.code(), 1);
   testutil::RunResult debug = run({"Debug", "-s", config, "extra"});
   EXPECT_EQ(debug.exit.code(), 2);
}

TEST(ServiceRegistration, InstallAndUninstallAUnit)
{
   testutil::TempDir units;
   std::string unit = units / "quillon-network-coredump.service";
   testutil::RunOptions options;
   options.env = {"SALVOR_SYSTEMD_UNIT_DIR=" + units.path()};

   testutil::RunResult installed = testutil::Run({SALVOR_BINARY, "INSTALL"}, options);
   EXPECT_EQ(installed.exit.code(), 0) << installed.err;
   std::string text = testutil::ReadFile(unit);
   EXPECT_NE(text.find("# Enables support for collecting core dumps from remote hosts\n"),
             std::string::npos) << text;
   EXPECT_NE(text.find("Description=Quillon Orvex dump collector\n"), std::string::npos);
   EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
   EXPECT_NE(text.find(std::string("ExecStart=") + SALVOR_BINARY + "\n"), std::string::npos);
   EXPECT_NE(text.find("WantedBy=multi-user.target\n"), std::string::npos);
   if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
      testutil::RunResult verify = testutil::Run({"/usr/bin/systemd-analyze", "verify", unit});
      EXPECT_EQ(verify.exit.code(), 0) << verify.out << verify.err;
   }

   // A registered service is left as it is, and the failure is reported.
   testutil::WriteFile(unit, text + "# edited\n");
   testutil::RunResult again = testutil::Run({SALVOR_BINARY, "install"}, options);
   EXPECT_EQ(again.exit.code(), 1);
   EXPECT_NE(again.err.find("registered already"), std::string::npos) << again.err;
   EXPECT_NE(testutil::ReadFile(unit).find("# edited"), std::string::npos);

   testutil::RunResult removed = testutil::Run({SALVOR_BINARY, "uninstall"}, options);
   EXPECT_EQ(removed.exit.code(), 0) << removed.err;
   EXPECT_NE(access(unit.c_str(), F_OK), 0);
   testutil::RunResult gone = testutil::Run({SALVOR_BINARY, "uninstall"}, options);
   EXPECT_EQ(gone.exit.code(), 1);
   EXPECT_NE(gone.err.find("not registered"), std::string::npos);

   options.env = {"SALVOR_SYSTEMD_UNIT_DIR=" + (units / "missing")};
   testutil::RunResult nowhere = testutil::Run({SALVOR_BINARY, "install"}, options);
   EXPECT_EQ(nowhere.exit.code(), 1);
   EXPECT_NE(nowhere.err.find("cannot register the service"), std::string::npos);
}

}  // namespace
