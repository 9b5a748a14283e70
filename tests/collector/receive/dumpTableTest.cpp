// The slot table and the dump files, driven through the message handlers
// with real files in a temporary data directory.
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "collector/startup/salvorConfig.h"
#include "collector/receive/salvorDumpEvents.h"
#include "collector/receive/salvorDumpFile.h"
#include "collector/receive/salvorHandlers.h"
#include "collector/receive/salvorSlots.h"
#include "lib/misc/clock.h"
#include "lib/misc/platFault.h"
#include "tests/collector/receive/collectorTestPlat.h"
#include "tests/support/slotTableTest.h"
#include "tests/support/testPlatform.h"

using testutil::CollectorPath;
using testutil::ErrnoText;
using testutil::MakeHeader;

namespace {

constexpr uint32_t HOST_A = 0x0A141E28;  // 10.20.30.40
constexpr uint32_t HOST_B = 0x0A141E29;  // 10.20.30.41

uint64_t fakeNow = 1000000;
uint64_t FakeClock() { return fakeNow; }

// Every file below `dir`, as a path relative to it written with '/'.
std::vector<std::string>
Files(const std::string &dir)
{
   std::vector<std::string> files;
   for (const std::string &file : testutil::ListFiles(dir)) {
      std::filesystem::path path(file);
      files.push_back((path.is_absolute() ? path.lexically_relative(dir) : path).generic_string());
   }
   return files;
}

// A link to the directory `target`; false where none can be made (Wine
// makes none, Windows only with the privilege for it).
bool
MakeDirLink(const std::string &target, const std::string &link)
{
   std::error_code ec;
   std::filesystem::create_directory_symlink(target, link, ec);
   return !ec;
}

#define SKIP_WITHOUT_LINKS() \
   GTEST_SKIP() << "no symbolic links can be made here (Wine makes none; Windows needs a privilege)"

// Windows keeps the name of an open dump and of its directories, which
// are opened without delete sharing: nothing can take their place while
// the dump is open.
#define SKIP_ON_WINDOWS_NAMES_STAY()   \
   if (TEST_ON_WINDOWS)                \
   GTEST_SKIP() << "Windows keeps the names of open files and their directories"

class DumpTable : public testutil::SlotTableTest {
protected:
   void SetUp() override
   {
      SalvorClockUsec = FakeClock;
      SlotTableTest::SetUp();
   }
   void TearDown() override
   {
      SlotTableTest::TearDown();
      SalvorClockUsec = Clock_MonotonicUsec;
   }

   salvorMsgHeader Init(const NetIp &ip, int64_t ts)
   {
      salvorMsgHeader req = MakeHeader(SALVOR_MSG_INIT, ts);
      salvorMsgHeader reply = req;
      SalvorHandleInit(&reply, dataDir.Path().c_str(), ip, &req);
      return reply;
   }
   uint32_t Data(const NetIp &ip, int64_t ts, uint32_t slot, uint32_t offset, const std::string &bytes,
                 uint32_t dataLength)
   {
      salvorMsgHeader req = MakeHeader(SALVOR_MSG_DATA, ts, slot);
      req.dataOffset = offset;
      req.dataLength = dataLength;
      salvorMsgHeader reply = req;
      SalvorHandleData(&req, reinterpret_cast<const uint8_t *>(bytes.data()), ip,
                       SALVOR_HEADER_SIZE + bytes.size(), &reply);
      return reply.status;
   }
   uint32_t Data(const NetIp &ip, int64_t ts, uint32_t slot, uint32_t offset, const std::string &bytes)
   {
      return Data(ip, ts, slot, offset, bytes, (uint32_t)bytes.size());
   }
   uint32_t Done(const NetIp &ip, int64_t ts, uint32_t slot)
   {
      salvorMsgHeader req = MakeHeader(SALVOR_MSG_DONE, ts, slot);
      salvorMsgHeader reply = req;
      SalvorHandleDone(ip, &req, &reply);
      return reply.status;
   }
   std::string HostDir(uint32_t ip) const
   {
      return dataDir.Path() + "/10/20/30/" + std::to_string(ip & 0xff);
   }
};

TEST_F(DumpTable, DumpTravelsFromInitThroughDone)
{
   salvorMsgHeader reply = Init(HOST_A, 77);
   ASSERT_EQ(reply.status, hxk_success);
   EXPECT_EQ(reply.assignedDumpID, 0u);
   EXPECT_EQ(Data(HOST_A, 77, 0, 5, "world"), hxk_success);
   EXPECT_EQ(Data(HOST_A, 77, 0, 0, "hello"), hxk_success);
   EXPECT_EQ(Done(HOST_A, 77, 0), hxk_success);
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[0]));

   auto files = Files(dataDir.Path());
   ASSERT_EQ(files.size(), 1u);
   EXPECT_EQ(testutil::ReadFile(dataDir.Path() + "/" + files[0]), "helloworld");
   EXPECT_TRUE(log.Contains("Dump finished successfully for 10.20.30.40, slot 0, file:"));
}

TEST_F(DumpTable, FileIsNamedFromAddressAndLocalMinuteInAHostDirectory)
{
   time_t now = time(nullptr);
   Init(HOST_A, 1);
   struct tm local;
   localtime_r(&now, &local);
   char expected[128];
   snprintf(expected, sizeof expected, "zdump_10.20.30.40-%d-%02d-%02d-%02d_%02d-0",
            local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
   std::string path = HostDir(HOST_A) + "/" + expected;
   // The minute may have turned between the two readings of the clock.
   if (!std::filesystem::exists(path)) {
      GTEST_SKIP() << "minute changed during the test";
   }
   EXPECT_TRUE(log.Contains("Opened new coredump file:" + CollectorPath(path) +
                            " for 10.20.30.40 in slot 0.\n"));
}

// An IPv6 host has a directory level per 16-bit group and its groups,
// joined by dots, in its dump's name; its slot is its own down to the last
// bit, and its partial dump is swept like any other.
TEST_F(DumpTable, IPv6HostHasItsOwnDirectoryNameAndSlot)
{
   NetIp host, neighbour;
   ASSERT_TRUE(Net_ParseIp("2001:db8::1", &host));
   ASSERT_TRUE(Net_ParseIp("2001:db8::2", &neighbour));
   ASSERT_EQ(Init(host, 7).status, hxk_success);
   std::string dir = dataDir.Path() + "/2001/db8/0/0/0/0/0/1";
   auto files = Files(dir);
   ASSERT_EQ(files.size(), 1u);
   EXPECT_TRUE(files[0].starts_with("zdump_2001.db8.0.0.0.0.0.1-")) << files[0];
   EXPECT_TRUE(log.Contains("for 2001:db8::1 in slot 0.\n"));

   EXPECT_EQ(Data(neighbour, 7, 0, 0, "intruder"), hxk_invalid_dump);
   EXPECT_TRUE(log.Contains("Invalid IP for slot:0. msg IP:2001:db8::2 != saved IP:2001:db8::1.\n"));
   EXPECT_EQ(Init(neighbour, 7).assignedDumpID, 1u) << "same time stamp, another host";
   EXPECT_EQ(Data(host, 7, 0, 0, "core"), hxk_success);
   EXPECT_EQ(Done(host, 7, 0), hxk_success);
   EXPECT_EQ(testutil::ReadFile(dir + "/" + files[0]), "core");

   fakeNow += (SALVOR_IDLE_TIMEOUT_SEC + 1) * 1000000;
   SalvorExpireIdleSlots();
   EXPECT_TRUE(Files(dataDir.Path() + "/2001/db8/0/0/0/0/0/2").empty())
      << "the neighbour's partial dump is removed";
}

// An IPv4 host that comes through a dual-stack socket, as ::ffff:a.b.c.d,
// is the same host as over IPv4: same slot, directory, name and lines.
TEST_F(DumpTable, IPv4MappedHostIsItsIPv4Host)
{
   NetIp mapped;
   ASSERT_TRUE(Net_ParseIp("::ffff:10.20.30.40", &mapped));
   ASSERT_EQ(Init(mapped, 3).status, hxk_success);
   EXPECT_EQ(Data(HOST_A, 3, 0, 0, "v4"), hxk_success);
   EXPECT_EQ(Init(HOST_A, 3).assignedDumpID, 0u) << "a repeated init of the same dump";
   EXPECT_EQ(Done(mapped, 3, 0), hxk_success);
   EXPECT_EQ(Files(HostDir(HOST_A)).size(), 1u);
   EXPECT_TRUE(log.Contains("Dump finished successfully for 10.20.30.40, slot 0, file:"));
}

// Until its done, a dump is marked by the owner's write bit, which a
// finished dump never carries: a crash leaves nothing that looks whole.
TEST_F(DumpTable, DumpIsMarkedUnfinishedUntilItsDone)
{
   // The owner's write bit; on Windows the read-only attribute's absence.
   auto writable = [](const std::string &path) {
      return (std::filesystem::status(path).permissions() & std::filesystem::perms::owner_write) !=
             std::filesystem::perms::none;
   };
   ASSERT_EQ(Init(HOST_A, 1).status, hxk_success);
   ASSERT_EQ(Data(HOST_A, 1, 0, 0, "core"), hxk_success);
   std::string path = salvorSlots[0].fileName;
   EXPECT_TRUE(writable(path));
   struct stat st;
   if (!TEST_ON_WINDOWS) {
      ASSERT_EQ(stat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, (unsigned)SALVOR_DUMP_PARTIAL_MODE);
   }
   ASSERT_EQ(Done(HOST_A, 1, 0), hxk_success);
   EXPECT_FALSE(writable(path));
   if (!TEST_ON_WINDOWS) {
      ASSERT_EQ(stat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0440u) << "dump files must not be readable by others";
   }
   EXPECT_EQ(testutil::ReadFile(path), "core");
}

TEST_F(DumpTable, FailedModeChangeAtDoneIsLoggedAndTheDumpStillFinishes)
{
   ASSERT_EQ(Init(HOST_A, 1).status, hxk_success);
   std::string path = salvorSlots[0].fileName;
   PlatFault_Inject(PLAT_STAT, EIO, 0, -1);
   EXPECT_EQ(Done(HOST_A, 1, 0), hxk_success);
   PlatFault_Clear();
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[0]));
   EXPECT_TRUE(log.Contains("Error giving file (" + path +
                            ") the mode of a finished dump: " + ErrnoText(EIO) + "\n"));
}

// A link planted anywhere below the data directory, where a host's
// directory or a dump's name belongs, is never followed.
TEST_F(DumpTable, PlantedLinksBelowTheDataDirectoryLeadNowhere)
{
   testutil::TempDir outside;
   namespace fs = std::filesystem;
   // The first level is a link: the dump is refused, nothing lands outside.
   if (!MakeDirLink(outside.Path(), dataDir.Path() + "/10")) {
      SKIP_WITHOUT_LINKS();
   }
   EXPECT_EQ(Init(HOST_A, 1).status, hxk_create_failed);
   EXPECT_TRUE(log.Contains("Error creating directory \"" + CollectorPath(HostDir(HOST_A)) +
                            "\"\n"));
   EXPECT_TRUE(fs::is_empty(outside.Path()));
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[0]));

   // The host's own directory is a link: refused likewise.
   fs::remove(dataDir.Path() + "/10");
   fs::create_directories(dataDir.Path() + "/10/20/30");
   fs::create_directory_symlink(outside.Path(), HostDir(HOST_A));
   EXPECT_EQ(Init(HOST_A, 2).status, hxk_create_failed);
   EXPECT_TRUE(fs::is_empty(outside.Path()));

   // A link by a dump's name counts as a taken name: the next one is used.
   fs::remove(HostDir(HOST_A));
   fs::create_directory(HostDir(HOST_A));
   std::string victim = outside.Path() + "/victim";
   { std::ofstream(victim) << "keep"; }
   time_t now = time(nullptr);
   struct tm local;
   localtime_r(&now, &local);
   char name[128];
   for (int counter = 0; counter < 2; counter++) {
      snprintf(name, sizeof name, "zdump_10.20.30.40-%d-%02d-%02d-%02d_%02d-%d",
               local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
               local.tm_min, counter);
      fs::create_symlink(victim, HostDir(HOST_A) + "/" + name);
   }
   salvorMsgHeader reply = Init(HOST_A, 3);
   ASSERT_EQ(reply.status, hxk_success);
   ASSERT_EQ(Data(HOST_A, 3, reply.assignedDumpID, 0, "dump bytes"), hxk_success);
   EXPECT_EQ(testutil::ReadFile(victim), "keep");
   EXPECT_FALSE(fs::is_symlink(salvorSlots[reply.assignedDumpID].fileName));
}

TEST_F(DumpTable, SecondDumpOfAHostInTheSameMinuteTakesTheNextCounter)
{
   ASSERT_EQ(Init(HOST_A, 1).status, hxk_success);
   ASSERT_EQ(Init(HOST_A, 2).status, hxk_success);
   auto files = Files(HostDir(HOST_A));
   ASSERT_EQ(files.size(), 2u);
   if (files[0].substr(0, files[0].size() - 2) != files[1].substr(0, files[1].size() - 2)) {
      GTEST_SKIP() << "minute changed during the test";
   }
   EXPECT_EQ(files[0].back(), '0');
   EXPECT_EQ(files[1].back(), '1');
}

TEST_F(DumpTable, RepeatedInitKeepsTheSlotAndItsFile)
{
   ASSERT_EQ(Init(HOST_B, 5).assignedDumpID, 0u);
   ASSERT_EQ(Init(HOST_A, 9).assignedDumpID, 1u);
   uint64_t taken = salvorSlots[1].lastActivity;
   fakeNow += 10 * 1000000;
   salvorMsgHeader again = Init(HOST_A, 9);
   EXPECT_EQ(again.status, hxk_success);
   EXPECT_EQ(again.assignedDumpID, 1u);
   EXPECT_EQ(salvorSlots[1].lastActivity, taken) << "a repeated init does not refresh";
   EXPECT_EQ(Files(dataDir.Path()).size(), 2u);
   EXPECT_TRUE(log.Contains("IP (10.20.30.40) and timestamp (9) match slot 1. Using old core file.\n"));
}

TEST_F(DumpTable, LowestFreeSlotIsTaken)
{
   Init(HOST_A, 1);
   Init(HOST_A, 2);
   ASSERT_EQ(Done(HOST_A, 1, 0), hxk_success);
   EXPECT_EQ(Init(HOST_B, 3).assignedDumpID, 0u);
}

TEST_F(DumpTable, ZeroTimestampDumpKeepsItsSlot)
{
   ASSERT_EQ(Init(HOST_A, 0).assignedDumpID, 0u);
   // Another dump must not take over slot 0 while its file is open.
   EXPECT_EQ(Init(HOST_B, 7).assignedDumpID, 1u);
   EXPECT_EQ(Init(HOST_A, 0).assignedDumpID, 0u) << "a repeated init finds its slot";
   EXPECT_EQ(Data(HOST_A, 0, 0, 0, "abc"), hxk_success);
}

TEST_F(DumpTable, FullTableRefusesNewDumpsButNotRepeats)
{
   // A host gets 256 names a minute: spread the dumps over eight hosts.
   for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
      ASSERT_EQ(Init(HOST_A + i % 8, 1000 + i).status, hxk_success) << i;
   }
   EXPECT_EQ(Init(HOST_A + 9, 1).status, hxk_limit_exceeded);
   EXPECT_TRUE(log.Contains("Didn't find an index. Returning hxk_limit_exceeded.\n"));
   salvorMsgHeader repeat = Init(HOST_A + 517 % 8, 1000 + 517);
   EXPECT_EQ(repeat.status, hxk_success);
   EXPECT_EQ(repeat.assignedDumpID, 517u);
}

TEST_F(DumpTable, MessagesForTheWrongSlotAreRefused)
{
   Init(HOST_A, 42);
   fakeNow += 1000;
   uint64_t before = salvorSlots[0].lastActivity;

   EXPECT_EQ(Data(HOST_A, 42, 1024, 0, "x"), hxk_invalid_dump);
   EXPECT_TRUE(log.Contains("ip:a141e28)Invalid dumpID 1024\n"));

   EXPECT_EQ(Data(HOST_B, 42, 0, 0, "x"), hxk_invalid_dump);
   EXPECT_TRUE(log.Contains(
      "Invalid IP for slot:0. msg IP:10.20.30.41 != saved IP:10.20.30.40.\n"));

   EXPECT_EQ(Data(HOST_A, 43, 0, 0, "x"), hxk_invalid_dump);
   EXPECT_TRUE(log.Contains(
      "10.20.30.40)Invalid timestamp for slot:0. msg TS:43 !=  saved TS:42.\n"));

   EXPECT_EQ(Data(HOST_A, 42, 5, 0, "x"), hxk_invalid_dump);
   EXPECT_TRUE(log.Contains(
      "Invalid IP for slot:0. msg IP:10.20.30.40 != saved IP:0.0.0.0.\n"));

   EXPECT_EQ(salvorSlots[0].lastActivity, before);
   EXPECT_EQ(Done(HOST_B, 42, 0), hxk_success) << "a failed done still answers success";
   EXPECT_TRUE(SalvorSlotInUse(&salvorSlots[0]));
}

TEST_F(DumpTable, DataLengthAgainstPayload)
{
   Init(HOST_A, 1);
   EXPECT_EQ(Data(HOST_A, 1, 0, 0, "abcdef", 7), hxk_write_failed);
   EXPECT_TRUE(log.Contains("dataLength (7) bigger than it should be (6).\n"));
   // A smaller dataLength is accepted and the whole payload is written.
   EXPECT_EQ(Data(HOST_A, 1, 0, 0, "abcdef", 2), hxk_success);
   Done(HOST_A, 1, 0);
   auto files = Files(dataDir.Path());
   EXPECT_EQ(testutil::ReadFile(dataDir.Path() + "/" + files[0]), "abcdef");
}

TEST_F(DumpTable, OffsetsPastTheEndLeaveAGapAndRepeatsOverwrite)
{
   Init(HOST_A, 1);
   EXPECT_EQ(Data(HOST_A, 1, 0, 4, "zz"), hxk_success);
   EXPECT_EQ(Data(HOST_A, 1, 0, 4, "yy"), hxk_success);
   EXPECT_EQ(Data(HOST_A, 1, 0, 0xFFFFFF00u, "end"), hxk_success) << "offsets reach 4 GiB";
   Done(HOST_A, 1, 0);
   std::string path = dataDir.Path() + "/" + Files(dataDir.Path())[0];
   ASSERT_EQ(std::filesystem::file_size(path), 0xFFFFFF03u);
   std::ifstream in(path, std::ios::binary);
   char head[6], tail[3];
   in.read(head, 6);
   in.seekg(0xFFFFFF00u);
   in.read(tail, 3);
   EXPECT_EQ(std::string(head, 6), std::string("\0\0\0\0yy", 6));
   EXPECT_EQ(std::string(tail, 3), "end");
}

TEST_F(DumpTable, FailedSeekOrWriteAnswersWriteFailedAndKeepsTheSlot)
{
   Init(HOST_A, 1);
   fakeNow += 5000;
   PlatFault_Inject(PLAT_SEEK, EINVAL);
   EXPECT_EQ(Data(HOST_A, 1, 0, 0, "abc"), hxk_write_failed);
   EXPECT_TRUE(log.Contains("Error seeking in file (" + std::string(salvorSlots[0].fileName) +
                            "): " + ErrnoText(EINVAL) + "\n"));
   EXPECT_EQ(salvorSlots[0].lastActivity, fakeNow) << "the check renewed the slot";

   PlatFault_Inject(PLAT_WRITE, ENOSPC);
   EXPECT_EQ(Data(HOST_A, 1, 0, 0, "abc"), hxk_write_failed);
   EXPECT_TRUE(log.Contains("Tried to write 3 bytes. Only 0 written (" + ErrnoText(ENOSPC) +
                            ").\n"));

   PlatFault_Inject(PLAT_WRITE, ENOSPC, 0, 2, 2);  // two bytes, then the disk is full
   EXPECT_EQ(Data(HOST_A, 1, 0, 0, "abc"), hxk_write_failed);
   EXPECT_TRUE(log.Contains("Tried to write 3 bytes. Only 2 written (" + ErrnoText(ENOSPC) +
                            ").\n"));

   PlatFault_Clear();
   EXPECT_EQ(Data(HOST_A, 1, 0, 0, "abc"), hxk_success) << "the client may send it again";
}

TEST_F(DumpTable, CreateFailuresLeaveTheSlotFreeAndNameTheirCause)
{
   PlatFault_Inject(PLAT_OPEN, EACCES);
   salvorMsgHeader reply = Init(HOST_A, 1);
   EXPECT_EQ(reply.status, hxk_create_failed);
   EXPECT_TRUE(log.Contains("(@&!*@*@(msg.fileio.noPerm)Insufficient permission to access the "
                            "file: " + ErrnoText(EACCES) + "). Make sure that you have "
                            "permissions to create files in " + dataDir.Path() + " directory\n"));
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[0]));

   PlatFault_Inject(PLAT_OPEN, EMFILE);
   Init(HOST_B, 2);
   EXPECT_TRUE(log.Contains("(@&!*@*@(msg.fileio.generic)Error: " + ErrnoText(EMFILE) +
                            "). Make sure"));

   // A full disk is a failed create on every platform, never a limit.
   PlatFault_Inject(PLAT_OPEN, ENOSPC);
   EXPECT_EQ(Init(HOST_A, 1).status, hxk_create_failed);
   PlatFault_Clear();
   EXPECT_EQ(Init(HOST_A, 1).assignedDumpID, 0u);
}

TEST_F(DumpTable, NoMemoryForThePathGivesTheDumpUp)
{
   SalvorCopyPath = [](const char *) -> char * { return nullptr; };
   salvorMsgHeader reply = Init(HOST_A, 1);
   SalvorCopyPath = strdup;
   EXPECT_EQ(reply.status, hxk_create_failed);
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[0]));
   EXPECT_FALSE(FileIO_IsValid(&salvorSlots[0].fd)) << "the file is closed";
   EXPECT_TRUE(Files(dataDir.Path()).empty()) << "and removed";
   EXPECT_EQ(Init(HOST_A, 1).assignedDumpID, 0u);
}

TEST_F(DumpTable, AllNamesOfAMinuteTakenAnswersLimitExceeded)
{
   // Take every name of this minute (and of the next, should it turn).
   std::string dir = HostDir(HOST_A);
   std::filesystem::create_directories(dir);
   for (int minute = 0; minute < 2; minute++) {
      time_t t = time(nullptr) + 60 * minute;
      struct tm local;
      localtime_r(&t, &local);
      for (int i = 0; i < SALVOR_MAX_NAME_TRIES; i++) {
         char name[128];
         snprintf(name, sizeof name, "/zdump_10.20.30.40-%d-%02d-%02d-%02d_%02d-%d",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, i);
         testutil::WriteFile(dir + name, "");
      }
   }
   salvorMsgHeader reply = Init(HOST_A, 1);
   EXPECT_EQ(reply.status, hxk_limit_exceeded);
   EXPECT_TRUE(log.Contains("-255 (@&!*@*@(msg.fileio.generic)Error: " + testutil::NameTakenText() +
                            "). Make sure"));
   EXPECT_TRUE(log.Contains("Got FILEIO_ERROR while creating file. returning hxk_limit_exceeded.\n"));
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[0]));
}

TEST_F(DumpTable, OverlongDataDirectoryRefusesTheDumpWithoutStopping)
{
   std::string deep = dataDir.Path();
   while (deep.size() < 1000) {
      deep += "/dddddddddddddddddddddddddddddddddddddddddddddd";
   }
   salvorMsgHeader req = MakeHeader(SALVOR_MSG_INIT, 1);
   salvorMsgHeader reply = req;
   SalvorHandleInit(&reply, deep.c_str(), HOST_A, &req);
   EXPECT_EQ(reply.status, hxk_create_failed);
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[0]));
}

TEST_F(DumpTable, IdleSweepRemovesPartialDumpsAfterSixtySeconds)
{
   Init(HOST_A, 1);
   Init(HOST_B, 2);
   Data(HOST_A, 1, 0, 0, "partial");
   fakeNow += 60 * 1000000;
   SalvorExpireIdleSlots();
   EXPECT_TRUE(SalvorSlotInUse(&salvorSlots[0])) << "exactly 60 s is not yet idle";
   Data(HOST_B, 2, 1, 0, "alive");
   fakeNow += 1;
   SalvorExpireIdleSlots();
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[0]));
   EXPECT_TRUE(SalvorSlotInUse(&salvorSlots[1]));
   EXPECT_EQ(Files(HostDir(HOST_A)).size(), 0u) << "the partial file is deleted";
   EXPECT_TRUE(log.Contains("Client at 10.20.30.40 has been idle for 60 seconds. Timeout is 60 "
                            "seconds. Removing partial dump "));
}

// The sweep deletes only the dump's own file, reached without following
// a link: whatever was planted in its place stays.
TEST_F(DumpTable, IdleSweepLeavesWhatWasPlantedInPlaceOfTheDump)
{
   SKIP_ON_WINDOWS_NAMES_STAY();
   Init(HOST_A, 1);
   Init(HOST_B, 2);
   std::string fileA = salvorSlots[0].fileName;
   std::string fileB = salvorSlots[1].fileName;
   std::string baseA = fileA.substr(fileA.rfind('/') + 1);

   // The host directory of A becomes a link to a directory elsewhere that
   // holds a file of the dump's name.
   std::string elsewhere = dataDir.Path() + "/elsewhere";
   std::filesystem::create_directories(elsewhere);
   testutil::WriteFile(elsewhere + "/" + baseA, "precious");
   std::filesystem::rename(HostDir(HOST_A), dataDir.Path() + "/moved");
   std::filesystem::create_directory_symlink(elsewhere, HostDir(HOST_A));

   // B's file is replaced by another one of the same name.
   ASSERT_EQ(std::remove(fileB.c_str()), 0);
   testutil::WriteFile(fileB, "someone else's");

   fakeNow += 61 * 1000000ull;
   SalvorExpireIdleSlots();
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[0]));
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[1]));
   EXPECT_EQ(testutil::ReadFile(elsewhere + "/" + baseA), "precious");
   EXPECT_EQ(testutil::ReadFile(fileB), "someone else's");
   EXPECT_TRUE(log.Contains("Failed to unlink file (" + fileA + "): its directory cannot be "
                            "opened without following a link"));
   EXPECT_TRUE(log.Contains("Failed to unlink file (" + fileB + "): the name no longer stands "
                            "for the dump's file."))
      << log.Text();
}

TEST_F(DumpTable, FinishedDumpsSurviveTheSweep)
{
   Init(HOST_A, 1);
   Done(HOST_A, 1, 0);
   Init(HOST_B, 2);
   Data(HOST_B, 2, 0, 0, "half");
   fakeNow += 3600ull * 1000000;
   SalvorExpireIdleSlots();
   EXPECT_EQ(Files(HostDir(HOST_A)).size(), 1u);
}

// What a subscriber of the dumps' events heard, in order.
struct Heard {
   std::string kind;  // begun, data, refused or ended
   int slot;
   std::string path;
   size_t written;
   SalvorDumpEnded ended;
   bool slotStillHeld;  // the slot still held the dump when told
};
std::vector<Heard> heard;
bool roomToBegin = true;
bool roomToWrite = true;

const SalvorDumpSubscriber listener{
   .begun = [](const SalvorDumpBegun &e) {
      heard.push_back(Heard{"begun", e.slot, e.path, 0, {}, SalvorSlotInUse(&salvorSlots[e.slot])});
   },
   .data = [](const SalvorDumpData &e) {
      heard.push_back(Heard{e.refused ? "refused" : "data", e.slot, "", e.written, {}, true});
   },
   .ended = [](const SalvorDumpEnded &e) {
      heard.push_back(Heard{"ended", e.slot, e.path != nullptr ? e.path : "", 0, e,
                            SalvorSlotInUse(&salvorSlots[e.slot])});
   },
   .mayBegin = [](const NetIp &) { return roomToBegin; },
   .mayWrite = [](const NetIp &, size_t) { return roomToWrite; },
};

// A subscriber beside the journal and the retention sees each dump's life
// as the handlers and the sweep drive it.
class DumpEvents : public DumpTable {
protected:
   void SetUp() override
   {
      DumpTable::SetUp();
      heard.clear();
      roomToBegin = roomToWrite = true;
      ASSERT_TRUE(SalvorSubscribeDumpEvents(&listener));
   }
   void TearDown() override
   {
      SalvorUnsubscribeAllDumpEvents();  // the next test subscribes the product's anew
      DumpTable::TearDown();
   }
   std::vector<std::string> Kinds() const
   {
      std::vector<std::string> kinds;
      for (const Heard &h : heard) {
         kinds.push_back(h.kind);
      }
      return kinds;
   }
};

TEST_F(DumpEvents, ADumpIsAnnouncedOnceFromItsBeginningToItsDone)
{
   ASSERT_EQ(Init(HOST_A, 5).status, hxk_success);
   ASSERT_EQ(Init(HOST_A, 5).status, hxk_success) << "a repeated init begins nothing";
   ASSERT_EQ(Data(HOST_A, 5, 0, 0, "core"), hxk_success);
   ASSERT_EQ(Data(HOST_A, 5, 0, 9, "tail"), hxk_success);
   std::string path = salvorSlots[0].fileName;
   ASSERT_EQ(Done(HOST_A, 5, 0), hxk_success);

   ASSERT_EQ(Kinds(), (std::vector<std::string>{"begun", "data", "data", "ended"}));
   EXPECT_EQ(heard[0].path, path);
   EXPECT_TRUE(heard[0].slotStillHeld) << "begun once the slot holds the dump";
   EXPECT_EQ(heard[1].written, 4u);
   const SalvorDumpEnded &end = heard[3].ended;
   EXPECT_EQ(end.how, SALVOR_END_DONE);
   EXPECT_EQ(end.host, NetIp(HOST_A));
   EXPECT_EQ(end.timestamp, 5);
   EXPECT_EQ(heard[3].path, path);
   EXPECT_TRUE(end.fileKept);
   EXPECT_EQ(end.size, 13) << "the file's size, hole included";
   EXPECT_FALSE(end.sparse);
   EXPECT_TRUE(heard[3].slotStillHeld) << "told before the slot is emptied";
}

TEST_F(DumpEvents, NoRoomRefusesTheBeginningOrTheWriteAndSaysSo)
{
   roomToBegin = false;
   EXPECT_EQ(Init(HOST_A, 1).status, hxk_limit_exceeded);
   EXPECT_TRUE(heard.empty());
   EXPECT_TRUE(Files(dataDir.Path()).empty()) << "no file for a dump that may not begin";

   roomToBegin = true;
   ASSERT_EQ(Init(HOST_A, 1).status, hxk_success);
   roomToWrite = false;
   EXPECT_EQ(Data(HOST_A, 1, 0, 0, "core"), hxk_write_failed);
   ASSERT_EQ(Kinds(), (std::vector<std::string>{"begun", "refused"}));
   EXPECT_EQ(heard[1].written, 0u);
}

TEST_F(DumpEvents, EndsOtherThanADoneSayHowTheDumpEnded)
{
   ASSERT_EQ(Init(HOST_A, 1).status, hxk_success);
   ASSERT_EQ(Init(HOST_B, 2).status, hxk_success);
   ASSERT_EQ(Data(HOST_B, 2, 1, 0, "core"), hxk_success);
   fakeNow += 30 * 1000000ull;
   ASSERT_EQ(Data(HOST_B, 2, 1, 4, "more"), hxk_success);
   fakeNow += 31 * 1000000ull;
   SalvorExpireIdleSlots();  // host A is silent for 61 s, host B for 31 s
   ASSERT_EQ(heard.back().kind, "ended");
   EXPECT_EQ(heard.back().ended.how, SALVOR_END_IDLE);
   EXPECT_EQ(heard.back().slot, 0);
   EXPECT_EQ(heard.back().ended.idleSec, 61u);
   EXPECT_FALSE(heard.back().ended.fileKept) << "the partial file is removed";

   SalvorStopAllDumps();
   ASSERT_EQ(heard.back().kind, "ended");
   EXPECT_EQ(heard.back().ended.how, SALVOR_END_STOPPED);
   EXPECT_EQ(heard.back().slot, 1);
   EXPECT_TRUE(heard.back().ended.fileKept);
   EXPECT_EQ(heard.back().ended.size, 8);
   EXPECT_TRUE(SalvorSlotInUse(&salvorSlots[1])) << "a stop leaves the slots to be freed";
}

// A file that lost its name while the dump came in keeps its bytes only
// until it is closed: the done must not call that a success.
TEST_F(DumpEvents, DoneOnAFileThatLostItsNameAnswersWriteFailedAndEndsTheDumpLost)
{
   SKIP_ON_WINDOWS_NAMES_STAY();
   ASSERT_EQ(Init(HOST_A, 1).status, hxk_success);
   ASSERT_EQ(Data(HOST_A, 1, 0, 0, "core"), hxk_success);
   ASSERT_EQ(std::remove(salvorSlots[0].fileName), 0);
   EXPECT_EQ(Done(HOST_A, 1, 0), hxk_write_failed);
   EXPECT_FALSE(SalvorSlotInUse(&salvorSlots[0]));
   ASSERT_EQ(heard.back().kind, "ended");
   EXPECT_EQ(heard.back().ended.how, SALVOR_END_LOST);
   EXPECT_FALSE(heard.back().ended.fileKept);
   EXPECT_NE(heard.back().ended.reason, nullptr);

   ASSERT_EQ(Init(HOST_B, 2).status, hxk_success);
   std::filesystem::remove_all(dataDir.Path() + "/10");
   EXPECT_EQ(Done(HOST_B, 2, 0), hxk_write_failed);
   EXPECT_EQ(log.Count("was deleted, or its directory removed"), 2u);
   EXPECT_FALSE(log.Contains("Dump finished successfully"));
}

}  // namespace
