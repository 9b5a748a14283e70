// The service's status record as the manager sees it: progress while a
// start or stop is pending, the failure it stopped on, and the controls
// it answers, including one that arrives after the final stop.
#include <gtest/gtest.h>

#include "collector/service/salvorService.h"
#include "collector/startup/salvorConfig.h"

namespace {

SalvorServiceStatus
Fresh()
{
   return {0x30, SALVOR_STATE_STOPPED, 0, 0, 0, 0, 6000};
}

TEST(ServiceStatus, CheckPointAdvancesOnlyWhilePending)
{
   SalvorServiceStatus status = Fresh();
   const struct {
      uint32_t state;
      uint32_t checkPoint;
   } steps[] = {
      {SALVOR_STATE_START_PENDING, 1}, {SALVOR_STATE_START_PENDING, 2},
      {SALVOR_STATE_RUNNING, 0},       {SALVOR_STATE_STOP_PENDING, 1},
      {SALVOR_STATE_STOP_PENDING, 2},  {SALVOR_STATE_STOP_PENDING, 3},
      {SALVOR_STATE_STOPPED, 0},       {SALVOR_STATE_START_PENDING, 1},
      {SALVOR_STATE_STOP_PENDING, 1},
   };
   for (const auto &step : steps) {
      SalvorServiceStatusMove(&status, step.state, 0);
      EXPECT_EQ(status.currentState, step.state);
      EXPECT_EQ(status.checkPoint, step.checkPoint) << "state " << step.state;
   }
   EXPECT_EQ(status.waitHint, 6000u);
}

TEST(ServiceStatus, AFailedStopCarriesItsCodeAndARequestedStopNone)
{
   SalvorServiceStatus status = Fresh();
   SalvorServiceStatusMove(&status, SALVOR_STATE_START_PENDING, SALVOR_SERVICE_FAILED_CONFIG);
   EXPECT_EQ(status.win32ExitCode, 0u) << "only the stopped state carries the failure";
   SalvorServiceStatusMove(&status, SALVOR_STATE_STOPPED, SALVOR_SERVICE_FAILED_CONFIG);
   EXPECT_EQ(status.win32ExitCode, SALVOR_EXIT_SERVICE_SPECIFIC);
   EXPECT_EQ(status.serviceSpecificExitCode, (uint32_t)SALVOR_SERVICE_FAILED_CONFIG);

   SalvorServiceStatusMove(&status, SALVOR_STATE_STOPPED, 0);
   EXPECT_EQ(status.win32ExitCode, 0u);
   EXPECT_EQ(status.serviceSpecificExitCode, 0u);
}

// The handler in this process, with the manager's calls going nowhere.
class ServiceControl : public testing::Test {
protected:
   void SetUp() override { SalvorConfig.serviceStatus = Fresh(); }
   void TearDown() override
   {
      SalvorConfig.serviceStatus = Fresh();
      SalvorConfig.stopRequested = false;
   }
};

TEST_F(ServiceControl, StopIsReportedOnceAndNeverAfterStopped)
{
   SalvorConfig.serviceStatus.currentState = SALVOR_STATE_RUNNING;
   SalvorConfig.serviceStatus.controlsAccepted = SALVOR_ACCEPT_STOP_SHUTDOWN;
   EXPECT_TRUE(SalvorWin32ServiceControlHandler(SALVOR_CONTROL_STOP));
   EXPECT_EQ(SalvorConfig.serviceStatus.currentState, SALVOR_STATE_STOP_PENDING);
   EXPECT_EQ(SalvorConfig.serviceStatus.checkPoint, 1u);
   EXPECT_TRUE(SalvorConfig.stopRequested);
   EXPECT_TRUE(SalvorWin32ServiceControlHandler(SALVOR_CONTROL_SHUTDOWN));
   EXPECT_TRUE(SalvorWin32ServiceControlHandler(SALVOR_CONTROL_INTERROGATE));
   EXPECT_EQ(SalvorConfig.serviceStatus.checkPoint, 1u) << "no progress claimed by a repeat";

   // The final stop has been reported: a late stop must not undo it.
   SalvorServiceStatusMove(&SalvorConfig.serviceStatus, SALVOR_STATE_STOPPED, 0);
   EXPECT_TRUE(SalvorWin32ServiceControlHandler(SALVOR_CONTROL_STOP));
   EXPECT_TRUE(SalvorWin32ServiceControlHandler(SALVOR_CONTROL_INTERROGATE));
   EXPECT_EQ(SalvorConfig.serviceStatus.currentState, SALVOR_STATE_STOPPED);
}

TEST_F(ServiceControl, ControlsOtherThanStopShutdownAndInterrogateAreNotImplemented)
{
   SalvorConfig.serviceStatus.currentState = SALVOR_STATE_RUNNING;
   for (uint32_t code : {2u, 3u, 6u, 128u, 255u}) {
      EXPECT_FALSE(SalvorWin32ServiceControlHandler(code)) << code;
   }
   EXPECT_EQ(SalvorConfig.serviceStatus.currentState, SALVOR_STATE_RUNNING);
   EXPECT_FALSE(SalvorConfig.stopRequested);
}

}  // namespace
