// Arguments that the ANSI code page cannot hold reach the programs intact:
// the collector reads a configuration in a directory so named, and
// salvor-send sends a file so named to it. One collector serves the suite.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "protocol/salvorProto.h"
#include "tests/support/process.h"
#include "tests/support/testFiles.h"
#include "tests/support/testUtil.h"

namespace fs = std::filesystem;

namespace {

// A letter a Western code page has, and some no single-byte one has.
constexpr const char8_t *DIR_NAME = u8"\u00d6konomie-\u65e5\u672c\u8a9e";
constexpr const char8_t *FILE_NAME = u8"core-\u30c0\u30f3\u30d7-\u00dc.bin";

std::string
Utf8(const fs::path &path)
{
   std::u8string text = path.u8string();
   return std::string(text.begin(), text.end());
}

void
WriteAll(const fs::path &path, const std::string &content)
{
   std::ofstream out(path, std::ios::binary);
   out << content;
   ASSERT_TRUE(out.good()) << Utf8(path);
}

std::string
ReadAll(const fs::path &path)
{
   std::ifstream in(path, std::ios::binary);
   return std::string(std::istreambuf_iterator<char>(in), {});
}

class UnicodeArgs : public testing::Test {
protected:
   static void SetUpTestSuite()
   {
      root_ = new testutil::TempDir;
      dir_ = new fs::path(fs::path(root_->Path()) / DIR_NAME);
      fs::create_directories(*dir_ / "data");
      fs::create_directories(*dir_ / "log");
      fs::create_directories(*dir_ / "tmp");
      port_ = testutil::FreeUdpPort();
      WriteAll(*dir_ / "salvor.xml",
               "<config><defaultValues><port>" + std::to_string(port_) +
                  "</port></defaultValues><defaultDataPath>" + Utf8(*dir_ / "data") +
                  "</defaultDataPath><defaultLogPath>" + Utf8(*dir_ / "log") +
                  "</defaultLogPath></config>");
      testutil::SpawnOptions spawn;
      spawn.out = testutil::Redirect::ToFile(*root_ / "console.txt");
      spawn.err = testutil::Redirect{testutil::Redirect::ToStdout};
      // The per-user temporary folder, which holds the init log, is under
      // the non-ASCII name too, as for a user whose name is outside the
      // code page.
      spawn.env = {"TMP=" + Utf8(*dir_ / "tmp"), "TEMP=" + Utf8(*dir_ / "tmp")};
      collector_ = new testutil::Process(
         {SALVOR_BINARY, "debug", "-s", Utf8(*dir_ / "salvor.xml")}, spawn);
   }

   static void TearDownTestSuite()
   {
      delete collector_;
      std::error_code ignored;
      fs::remove_all(*dir_, ignored);  // the support's removal takes narrow names
      delete dir_;
      delete root_;
   }

   // Whether the collector answers a status check on the configured port.
   static bool Answers(std::string *why)
   {
      testutil::UdpPeer peer;
      salvorMsgHeader reply;
      for (int attempt = 0; attempt < 100 && collector_->Running(); attempt++) {
         if (peer.Request(testutil::Encode(testutil::MakeHeader(SALVOR_MSG_STATUS_CHECK)),
                          port_, &reply, 100)) {
            return reply.status == hxk_success;
         }
      }
      *why = "no answer; console: " + testutil::ReadFile(*root_ / "console.txt");
      return false;
   }

   static testutil::TempDir *root_;
   static fs::path *dir_;
   static uint16_t port_;
   static testutil::Process *collector_;
};

testutil::TempDir *UnicodeArgs::root_;
fs::path *UnicodeArgs::dir_;
uint16_t UnicodeArgs::port_;
testutil::Process *UnicodeArgs::collector_;

TEST_F(UnicodeArgs, CollectorReadsAConfigurationInANonAsciiDirectory)
{
   std::string why;
   ASSERT_TRUE(Answers(&why)) << why;
   // The log directory the configuration names is the one written to.
   EXPECT_NE(ReadAll(*dir_ / "log" / "salvor.log"), "");
}

TEST_F(UnicodeArgs, InitLogIsWrittenInANonAsciiTemporaryFolder)
{
   std::string why;
   ASSERT_TRUE(Answers(&why)) << why;
   std::string initLog;
   for (const fs::directory_entry &e : fs::recursive_directory_iterator(*dir_ / "tmp")) {
      if (e.path().filename() == "salvor_init.log") {
         initLog = ReadAll(e.path());
      }
   }
   EXPECT_NE(initLog, "") << "no init log below " << Utf8(*dir_ / "tmp");
}

TEST_F(UnicodeArgs, SendToolSendsAFileWithANonAsciiName)
{
   std::string why;
   ASSERT_TRUE(Answers(&why)) << why;
   std::vector<uint8_t> bytes = testutil::RandomBytes(70000);
   std::string content(bytes.begin(), bytes.end());
   fs::path file = *dir_ / FILE_NAME;
   WriteAll(file, content);

   testutil::RunResult run = testutil::Run(
      {SALVOR_SEND_PATH, "--server", "127.0.0.1:" + std::to_string(port_), Utf8(file)});
   ASSERT_EQ(run.exit.Code(), 0) << run.out << run.err;
   EXPECT_NE(run.out.find(Utf8(file)), std::string::npos) << run.out;

   std::vector<fs::path> dumps;
   for (const fs::directory_entry &e : fs::recursive_directory_iterator(*dir_ / "data")) {
      if (e.is_regular_file()) {
         dumps.push_back(e.path());
      }
   }
   ASSERT_EQ(dumps.size(), 1u);
   EXPECT_TRUE(ReadAll(dumps[0]) == content) << "the dump differs from " << Utf8(file);
}

}  // namespace
