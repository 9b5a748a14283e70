// The collector under a service manager, played by the test: the real
// binary started with NOTIFY_SOCKET pointing at a socket of the test,
// which reads the state reports; signals stand for the control requests.
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/notifySocket.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/support/testUtil.h"

using testutil::MakeHeader;
using testutil::Encode;
using testutil::NotifySocket;

namespace {

class Service : public ::testing::Test {
protected:
   void SetUp() override
   {
      port = testutil::FreeUdpPort();
      config = dir / "salvor.xml";
      WriteConfig(config, port);
   }
   void WriteConfig(const std::string &path, uint16_t p, const std::string &logDir = "log")
   {
      testutil::WriteFile(path, "<c><defaultValues><port>" + std::to_string(p) +
                                   "</port></defaultValues><defaultDataPath>" + (dir / "data") +
                                   "</defaultDataPath><defaultLogPath>" + (dir / logDir) +
                                   "</defaultLogPath></c>");
   }
   // Stops the collector as the manager does and expects a clean end.
   void StopCleanly(testutil::Process &salvor)
   {
      kill(salvor.Pid(), SIGTERM);
      // Its reports up to the last one, so that the next run's come next.
      for (std::string report = notify.Next(); report.rfind("STATUS=Stopped", 0) != 0;
           report = notify.Next()) {
         ASSERT_NE(report, "") << "no stopped report";
      }
      auto exit = salvor.WaitFor(std::chrono::seconds(10));
      ASSERT_TRUE(exit.has_value()) << "the stop request was not heard";
      EXPECT_EQ(exit->Code(), 0);
   }
   std::unique_ptr<testutil::Process> Start(std::vector<std::string> args,
                                            const std::string &startParameters = "")
   {
      args.insert(args.begin(), SALVOR_BINARY);
      testutil::SpawnOptions options;
      options.out = testutil::Redirect::ToFile(dir / "console.txt");
      options.err = testutil::Redirect(testutil::Redirect::ToStdout);
      options.env = {"NOTIFY_SOCKET=" + notify.Path()};
      if (!startParameters.empty()) {
         options.env.push_back("SALVOR_START_PARAMETERS=" + startParameters);
      }
      return std::make_unique<testutil::Process>(args, options);
   }
   // Running is reported once the socket is bound; a reply may still be
   // lost on a busy machine: ask again for a while, as every client does.
   bool Answers(uint16_t p)
   {
      testutil::UdpPeer peer("127.0.0.2");
      salvorMsgHeader reply;
      for (int attempt = 0; attempt < 50; attempt++) {
         if (peer.Request(Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK)), p, &reply, 200)) {
            return reply.status == hxk_success;
         }
      }
      return false;
   }
   std::string Running(uint16_t p)
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
   auto salvor = Start({}, "-s " + config);
   EXPECT_EQ(notify.Next(), STARTING);
   EXPECT_EQ(notify.Next(), Running(port));
   EXPECT_TRUE(Answers(port));

   auto asked = std::chrono::steady_clock::now();
   kill(salvor->Pid(), SIGTERM);
   EXPECT_EQ(notify.Next(), STOPPING);  // from the control handler
   EXPECT_EQ(notify.Next(), STOPPING);  // from the service main, after the loop
   EXPECT_EQ(notify.Next(), "STATUS=Stopped\n");
   auto exit = salvor->WaitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->Code(), 0) << "a requested stop is a clean stop";
   // The loop is woken, not left to finish its five-second wait.
   EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(4));
   EXPECT_NE(testutil::ReadFile(dir / "log/salvor.log").find("Stopping network coredump server now."),
             std::string::npos);
}

TEST_F(Service, ConfigurationOnTheCommandLineIsReadBeforeTheDispatcher)
{
   auto salvor = Start({"-s", config});
   EXPECT_EQ(notify.Next(), STARTING);
   EXPECT_EQ(notify.Next(), Running(port));
   EXPECT_TRUE(Answers(port));

   // Interrogate reports the state again, unchanged.
   kill(salvor->Pid(), SIGHUP);
   EXPECT_EQ(notify.Next(), Running(port));
   EXPECT_TRUE(Answers(port));

   kill(salvor->Pid(), SIGINT);
   EXPECT_EQ(notify.Next(), STOPPING);
   auto exit = salvor->WaitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->Code(), 0);
}

TEST_F(Service, StartParametersWinOverTheCommandLineAndLoggingStartsTwice)
{
   uint16_t other = testutil::FreeUdpPort();
   std::string second = dir / "second.xml";
   WriteConfig(second, other);
   auto salvor = Start({"-s", config}, "-s " + second);
   EXPECT_EQ(notify.Next(), STARTING);
   EXPECT_EQ(notify.Next(), Running(other));
   EXPECT_TRUE(Answers(other));
   kill(salvor->Pid(), SIGTERM);
   auto exit = salvor->WaitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->Code(), 0);
}

TEST_F(Service, WithoutAConfigurationItReportsWhyAndFails)
{
   auto salvor = Start({});
   EXPECT_EQ(notify.Next(), STARTING);
   EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=Running without a configuration\n");
   EXPECT_EQ(notify.Next(), STOPPING);
   EXPECT_NE(notify.Next().find("STATUS=Stopped: no configuration file was given"),
             std::string::npos);
   auto exit = salvor->WaitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->Code(), 1) << "systemd must not read this as a clean stop";
}

TEST_F(Service, RefusedConfigurationInTheStartParametersFails)
{
   auto salvor = Start({}, "-s " + (dir / "missing.xml"));
   EXPECT_EQ(notify.Next(), STARTING);
   EXPECT_EQ(notify.Next(), STOPPING);
   EXPECT_NE(notify.Next().find("STATUS=Stopped: the configuration was refused"),
             std::string::npos);
   auto exit = salvor->WaitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->Code(), 1);
}

TEST_F(Service, AStraySigusr1LeavesTheControlsWorking)
{
   auto salvor = Start({}, "-s " + config);
   EXPECT_EQ(notify.Next(), STARTING);
   EXPECT_EQ(notify.Next(), Running(port));
   // Log-rotation tools send it; the service neither ends nor goes deaf.
   kill(salvor->Pid(), SIGUSR1);
   EXPECT_TRUE(Answers(port));
   kill(salvor->Pid(), SIGHUP);
   EXPECT_EQ(notify.Next(), Running(port));
   kill(salvor->Pid(), SIGTERM);
   EXPECT_EQ(notify.Next(), STOPPING);
   auto exit = salvor->WaitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value()) << "SIGTERM no longer reaches the service";
   EXPECT_EQ(exit->Code(), 0);
}

TEST_F(Service, StartParametersAreQuotedAsInAShell)
{
   std::filesystem::create_directories(dir / "my configs");
   std::string blank = dir / "my configs/salvor.xml";
   WriteConfig(blank, port);
   {
      auto salvor = Start({}, "-s '" + blank + "'");
      EXPECT_EQ(notify.Next(), STARTING);
      EXPECT_EQ(notify.Next(), Running(port));
      StopCleanly(*salvor);
   }
   // Double quotes keep the blank; a backslash keeps a quote inside them.
   std::filesystem::create_directories(dir / "say \"hi\" there");
   std::string quoted = dir / "say \"hi\" there/salvor.xml";
   WriteConfig(quoted, port);
   {
      auto salvor = Start({}, "  -s   \"" + dir.Path() + "/say \\\"hi\\\" there/salvor.xml\" ");
      EXPECT_EQ(notify.Next(), STARTING);
      EXPECT_EQ(notify.Next(), Running(port));
      StopCleanly(*salvor);
   }
   // An unterminated quote is refused, not guessed at.
   auto salvor = Start({}, "-s '" + blank);
   EXPECT_EQ(notify.Next(), STARTING);
   EXPECT_EQ(notify.Next(), STOPPING);
   EXPECT_NE(notify.Next().find("STATUS=Stopped: invalid start parameters"), std::string::npos);
   auto exit = salvor->WaitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->Code(), 1);
}

TEST_F(Service, APortInUseFailsTheStartWithoutReportingReady)
{
   testutil::UdpPeer holder("127.0.0.2");
   WriteConfig(config, holder.Port());
   auto salvor = Start({}, "-s " + config);
   EXPECT_EQ(notify.Next(), STARTING);
   std::string report = notify.Next();
   EXPECT_EQ(report.find("READY=1"), std::string::npos) << report;
   EXPECT_NE(report.find("STATUS=Stopped: Couldn't bind socket to port " +
                         std::to_string(holder.Port())),
             std::string::npos)
      << report;
   auto exit = salvor->WaitFor(std::chrono::seconds(10));
   ASSERT_TRUE(exit.has_value());
   EXPECT_EQ(exit->Code(), 1);
   EXPECT_EQ(notify.Next(500), "") << "nothing after the failure";
}

TEST_F(Service, ASecondLogFileBeginsWithTheBanner)
{
   std::string second = dir / "second.xml";
   WriteConfig(second, port, "other-log");
   auto salvor = Start({"-s", config}, "-s " + second);
   EXPECT_EQ(notify.Next(), STARTING);
   EXPECT_EQ(notify.Next(), Running(port));
   StopCleanly(*salvor);
   std::string log = testutil::ReadFile(dir / "other-log/salvor.log");
   EXPECT_NE(log.substr(0, log.find('\n')).find("Log for "), std::string::npos) << log;
   EXPECT_NE(log.find("Stopping network coredump server now."), std::string::npos);
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
   EXPECT_EQ(run({}).exit.Code(), 255);
   EXPECT_EQ(run({"-s", config}).exit.Code(), 255) << "configuration read, then no manager";
   EXPECT_EQ(run({"whatever", "words", "here"}).exit.Code(), 255);
   // A refused vector or configuration on the "-s" path.
   EXPECT_EQ(run({"-S", config}).exit.Code(), 2) << "-s is case-sensitive in option parsing";
   EXPECT_EQ(run({"-s", dir / "missing.xml"}).exit.Code(), 1);
   testutil::RunResult debug = run({"Debug", "-s", config, "extra"});
   EXPECT_EQ(debug.exit.Code(), 2);
}

// The manager of install and uninstall, played by the test: unit
// directories of its own and a systemctl that notes its calls (with the
// unit as it stood at each reload) and fails or reports as told.
class ServiceRegistration : public ::testing::Test {
protected:
   void SetUp() override
   {
      std::filesystem::create_directories(units.Path() + "/admin");
      std::filesystem::create_directories(units.Path() + "/vendor");
      testutil::WriteFile(systemctl, "#!/bin/sh\n"
                                     "echo \"$*\" >> \"$FAKE_SYSTEMCTL_LOG\"\n"
                                     "if [ \"$1\" = daemon-reload ]; then\n"
                                     "  cat \"$SALVOR_SYSTEMD_UNIT_DIR\"/*.service "
                                     ">> \"$FAKE_SYSTEMCTL_LOG\" 2>/dev/null\n"
                                     "fi\n"
                                     "if [ \"$1\" = \"$FAKE_SYSTEMCTL_FAIL\" ]; then\n"
                                     "  echo \"systemctl: $1 refused\" >&2; exit 1\n"
                                     "fi\n"
                                     "if [ \"$1\" = show ]; then echo \"$FAKE_SYSTEMCTL_STATE\"; fi\n"
                                     "exit 0\n");
      chmod(systemctl.c_str(), 0755);
   }
   testutil::RunResult RunCommand(const std::string &command, std::vector<std::string> env = {},
                           const std::string &program = SALVOR_BINARY)
   {
      testutil::RunOptions options;
      options.env = {"SALVOR_SYSTEMD_UNIT_DIR=" + (units / "admin"),
                     "SALVOR_SYSTEMD_VENDOR_UNIT_DIRS=" + (units / "vendor"),
                     "SALVOR_SYSTEMCTL=" + systemctl, "FAKE_SYSTEMCTL_LOG=" + calls,
                     "FAKE_SYSTEMCTL_FAIL=", "FAKE_SYSTEMCTL_STATE=inactive"};
      for (const std::string &entry : env) {  // replaces the default of its name
         std::string name = entry.substr(0, entry.find('=') + 1);
         bool replaced = false;
         for (std::string &old : options.env) {
            if (old.compare(0, name.size(), name) == 0) {
               old = entry;
               replaced = true;
            }
         }
         if (!replaced) {
            options.env.push_back(entry);
         }
      }
      std::remove(calls.c_str());
      return testutil::Run({program, command}, options);
   }
   bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

   testutil::TempDir units;
   std::string unit = units / "admin/quillon-network-coredump.service";
   std::string systemctl = units / "systemctl";
   std::string calls = units / "calls";
};

TEST_F(ServiceRegistration, InstallAndUninstallAUnit)
{
   testutil::RunResult installed = RunCommand("INSTALL");
   EXPECT_EQ(installed.exit.Code(), 0) << installed.err;
   std::string text = testutil::ReadFile(unit);
   EXPECT_EQ(text.rfind("# Enables support for collecting core dumps from remote hosts\n", 0), 0u)
      << text;
   EXPECT_NE(text.find("Description=Quillon Orvex dump collector\n"), std::string::npos);
   EXPECT_NE(text.find("Type=notify\n"), std::string::npos);
   EXPECT_NE(text.find(std::string("ExecStart=\"") + SALVOR_BINARY + "\"\n"), std::string::npos);
   EXPECT_NE(text.find("WantedBy=multi-user.target\n"), std::string::npos);
   // systemd is told of the unit only once it is whole.
   EXPECT_EQ(testutil::ReadFile(calls), "daemon-reload\n" + text +
                                          "enable quillon-network-coredump.service\n");

   // A registered service is left as it is, and the failure is reported.
   testutil::WriteFile(unit, text + "# edited\n");
   testutil::RunResult again = RunCommand("install");
   EXPECT_EQ(again.exit.Code(), 1);
   EXPECT_NE(again.err.find("registered already"), std::string::npos) << again.err;
   EXPECT_NE(testutil::ReadFile(unit).find("# edited"), std::string::npos);

   testutil::RunResult removed = RunCommand("uninstall");
   EXPECT_EQ(removed.exit.Code(), 0) << removed.err;
   EXPECT_FALSE(Exists(unit));
   EXPECT_EQ(testutil::ReadFile(calls),
             "show --property=ActiveState --value quillon-network-coredump.service\n"
             "disable quillon-network-coredump.service\n"
             "daemon-reload\n");
   testutil::RunResult gone = RunCommand("uninstall");
   EXPECT_EQ(gone.exit.Code(), 1);
   EXPECT_NE(gone.err.find("not registered"), std::string::npos);

   testutil::RunResult nowhere =
      RunCommand("install", {"SALVOR_SYSTEMD_UNIT_DIR=" + (units / "missing")});
   EXPECT_EQ(nowhere.exit.Code(), 1);
   EXPECT_NE(nowhere.err.find("cannot register the service"), std::string::npos);
}

TEST_F(ServiceRegistration, UninstallRefusedAccessSaysSoRatherThanNotRegistered)
{
   ASSERT_EQ(RunCommand("install").exit.Code(), 0);
   testutil::RunResult denied =
      RunCommand("uninstall", {"SALVOR_PLATFORM_FAULTS=service:" + std::to_string(EACCES)});
   EXPECT_EQ(denied.exit.Code(), 1);
   EXPECT_EQ(denied.err.find("not registered"), std::string::npos) << denied.err;
   EXPECT_NE(denied.err.find(std::string("cannot open the service quillon-network-coredump: ") +
                             std::strerror(EACCES)),
             std::string::npos)
      << denied.err;
   EXPECT_TRUE(Exists(unit));
}

TEST_F(ServiceRegistration, InstallFailsWhenSystemdRefusesTheUnit)
{
   for (const char *step : {"daemon-reload", "enable"}) {
      testutil::RunResult refused =
         RunCommand("install", {std::string("FAKE_SYSTEMCTL_FAIL=") + step});
      EXPECT_EQ(refused.exit.Code(), 1) << step;
      EXPECT_NE(refused.err.find(std::string("systemctl ") + step), std::string::npos)
         << refused.err;
      EXPECT_NE(refused.err.find("refused"), std::string::npos) << "systemctl's own reason";
      // Nothing half made is left: the next install starts afresh.
      EXPECT_FALSE(Exists(unit)) << step;
   }
   testutil::RunResult noSystemctl =
      RunCommand("install", {"SALVOR_SYSTEMCTL=" + (units / "none")});
   EXPECT_EQ(noSystemctl.exit.Code(), 1);
   EXPECT_NE(noSystemctl.err.find("cannot run systemctl daemon-reload"), std::string::npos)
      << noSystemctl.err;
   EXPECT_FALSE(Exists(unit));
}

TEST_F(ServiceRegistration, ProgramPathWithBlanksAndPercentSurvivesTheUnitSyntax)
{
   std::string oddDir = units / "odd dir 100%";
   std::filesystem::create_directories(oddDir);
   std::string program = oddDir + "/salvor";
   std::filesystem::copy_file(SALVOR_BINARY, program);
   testutil::RunResult installed = RunCommand("install", {}, program);
   ASSERT_EQ(installed.exit.Code(), 0) << installed.err;
   std::string text = testutil::ReadFile(unit);
   EXPECT_NE(text.find("ExecStart=\"" + units.Path() + "/odd dir 100%%/salvor\"\n"),
             std::string::npos)
      << text;
   if (access("/usr/bin/systemd-analyze", X_OK) != 0) {
      GTEST_SKIP() << "systemd-analyze is not installed";
   }
   // systemd's own reading of the unit finds the program.
   testutil::RunResult verify = testutil::Run({"/usr/bin/systemd-analyze", "verify", unit});
   EXPECT_EQ(verify.exit.Code(), 0) << verify.out << verify.err;
   EXPECT_EQ(verify.err.find("not executable"), std::string::npos) << verify.err;
}

TEST_F(ServiceRegistration, UninstallRemovesOnlyAUnitKnownToBeStopped)
{
   ASSERT_EQ(RunCommand("install").exit.Code(), 0);
   struct Case {
      std::vector<std::string> env;
      const char *why;
   };
   const Case kept[] = {
      {{"FAKE_SYSTEMCTL_STATE=active"}, "is running"},
      {{"FAKE_SYSTEMCTL_STATE=activating"}, "is starting"},
      {{"FAKE_SYSTEMCTL_STATE=deactivating"}, "is stopping"},
      {{"FAKE_SYSTEMCTL_STATE=what"}, "cannot tell whether"},
      {{"FAKE_SYSTEMCTL_FAIL=show"}, "cannot tell whether"},
      {{"SALVOR_SYSTEMCTL=" + (units / "none")}, "cannot tell whether"},
      {{"FAKE_SYSTEMCTL_FAIL=disable"}, "systemctl disable"},
   };
   for (const Case &c : kept) {
      testutil::RunResult refused = RunCommand("uninstall", c.env);
      EXPECT_EQ(refused.exit.Code(), 1) << c.env[0];
      EXPECT_NE(refused.err.find(c.why), std::string::npos) << c.env[0] << ": " << refused.err;
      EXPECT_TRUE(Exists(unit)) << c.env[0];
   }
   testutil::RunResult failedUnit = RunCommand("uninstall", {"FAKE_SYSTEMCTL_STATE=failed"});
   EXPECT_EQ(failedUnit.exit.Code(), 0) << "a failed unit is stopped: " << failedUnit.err;
   EXPECT_FALSE(Exists(unit));
}

TEST_F(ServiceRegistration, APackagedUnitIsRegisteredButNotOursToRemove)
{
   std::string packaged = units / "vendor/quillon-network-coredump.service";
   testutil::WriteFile(packaged, "[Service]\nExecStart=/usr/sbin/salvor\n");

   testutil::RunResult installed = RunCommand("install");
   EXPECT_EQ(installed.exit.Code(), 1);
   EXPECT_NE(installed.err.find("registered already (" + packaged + ")"), std::string::npos)
      << installed.err;
   EXPECT_FALSE(Exists(unit)) << "a unit in the administrator's directory would shadow it";
   EXPECT_FALSE(Exists(calls)) << "systemd is not asked anything";

   testutil::RunResult removed = RunCommand("uninstall");
   EXPECT_EQ(removed.exit.Code(), 1);
   EXPECT_NE(removed.err.find("installed by a package (" + packaged + ")"), std::string::npos)
      << removed.err;
   EXPECT_TRUE(Exists(packaged));
}

}  // namespace
