// The real collector configured by preference files: a fixture that
// starts one with a common "config.ini" of the test's and talks to it.
#pragma once

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "tests/support/collectorProcess.h"
#include "tests/support/testFiles.h"
#include "tests/support/testUtil.h"

namespace logconfig {

using testutil::CollectorProcess;
using testutil::Encode;
using testutil::MakeHeader;

inline const std::string COMMON_SUBDIR = "Quillon/Quillon Orvex dump collector";

class LogConfig : public ::testing::Test {
protected:
   // A collector whose common config.ini holds `config`.
   std::unique_ptr<CollectorProcess> Start(const std::string &config, int level = 0)
   {
      std::filesystem::create_directories(appData / COMMON_SUBDIR);
      testutil::WriteFile(appData / COMMON_SUBDIR + "/config.ini", config);
      testutil::CollectorOptions options;
      options.level = level;
      options.env = {"SALVOR_APPDATA_PATH=" + appData.Path(),
                     "XDG_CONFIG_HOME=" + userConfig.Path()};
      auto salvor = std::make_unique<CollectorProcess>(SALVOR_BINARY, options);
      std::string why;
      EXPECT_TRUE(salvor->WaitReady(&why)) << why;
      return salvor;
   }
   // Status checks, each of which logs a line.
   static void Chatter(CollectorProcess &salvor, int count)
   {
      testutil::UdpPeer peer("127.0.0.2");
      salvorMsgHeader reply;
      for (int i = 0; i < count; i++) {
         ASSERT_TRUE(peer.Request(Encode(MakeHeader(SALVOR_MSG_STATUS_CHECK)), salvor.Port(),
                                  &reply, 2000));
      }
   }
   static bool Exists(const std::string &path) { return std::filesystem::exists(path); }

   testutil::TempDir appData;
   testutil::TempDir userConfig;
};

}  // namespace logconfig
