// The dump journal in process: what a record says of a dump whose writes
// failed or that its sender declared sparse, and how records fare while
// the journal's file system is full. Writes are failed through the
// platform layer's seam, confined to the file under test.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "collector/receive/salvorHandlers.h"
#include "collector/operations/salvorJournal.h"
#include "collector/operations/salvorJournalFile.h"
#include "collector/operations/salvorMetrics.h"
#include "collector/receive/salvorSlots.h"
#include "collector/startup/salvorOpsConfig.h"
#include "lib/file/fileDir.h"
#include "lib/misc/clock.h"
#include "lib/misc/platFault.h"
#include "tests/collector/receive/collectorTestPlat.h"
#include "tests/support/slotTableTest.h"
#include "tests/support/testFiles.h"
#include "tests/support/testPlatform.h"
#include "tests/support/testUtil.h"

using testutil::MakeHeader;

namespace {

constexpr uint32_t HOST = 0x0A141E28;  // 10.20.30.40

uint64_t fakeNow = 1000000;
uint64_t FakeClock() { return fakeNow; }

std::vector<std::string>
Lines(const std::string &text)
{
   std::vector<std::string> lines;
   for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      lines.push_back(text.substr(at, end - at));
   }
   return lines;
}

bool
Has(const std::string &text, const std::string &part)
{
   return text.find(part) != std::string::npos;
}

class Journal : public testutil::SlotTableTest {
protected:
   void SetUp() override
   {
      SalvorClockUsec = FakeClock;
      SlotTableTest::SetUp();
      salvorOpsCounters = SalvorOpsCounters{};
      SalvorJournalSetLogFile((logDir / "salvor.log").c_str());
   }
   void TearDown() override
   {
      SalvorJournalSetLogFile(nullptr);
      SlotTableTest::TearDown();
      SalvorClockUsec = Clock_MonotonicUsec;
   }

   uint32_t Init(int64_t ts)
   {
      salvorMsgHeader req = MakeHeader(SALVOR_MSG_INIT, ts);
      salvorMsgHeader reply = req;
      SalvorHandleInit(&reply, dataDir.Path().c_str(), HOST, &req);
      EXPECT_EQ(reply.status, hxk_success);
      return reply.assignedDumpID;
   }
   uint32_t Data(int64_t ts, uint32_t slot, uint32_t offset, size_t length)
   {
      std::string bytes(length, 'd');
      salvorMsgHeader req = MakeHeader(SALVOR_MSG_DATA, ts, slot);
      req.dataOffset = offset;
      req.dataLength = (uint32_t)length;
      salvorMsgHeader reply = req;
      SalvorHandleData(&req, reinterpret_cast<const uint8_t *>(bytes.data()), HOST,
                       SALVOR_HEADER_SIZE + length, &reply);
      return reply.status;
   }
   void Done(int64_t ts, uint32_t slot, const char *reserved2 = "\0\0\0\0")
   {
      salvorMsgHeader req = MakeHeader(SALVOR_MSG_DONE, ts, slot);
      std::memcpy(req.reserved2, reserved2, 4);
      salvorMsgHeader reply = req;
      SalvorHandleDone(HOST, &req, &reply);
   }
   // Every write to the file of `slot` fails, after `skip` that pass.
   static void FailWritesOf(uint32_t slot, int skip)
   {
      intptr_t fd = (intptr_t)salvorSlots[slot].fd.handle;
      PlatFault_LimitTo(&fd, 1);
      PlatFault_Inject(PLAT_WRITE, ENOSPC, skip, -1);
   }
   std::string Text() const { return testutil::ReadFile(logDir / "dumps.jsonl"); }
   std::string Line() const
   {
      std::vector<std::string> lines = Lines(Text());
      EXPECT_EQ(lines.size(), 1u) << Text();
      return lines.empty() ? "" : lines.back();
   }

   testutil::TempDir logDir;
};

// A dump whose tail never reached the disk was called complete: a failed
// write left no trace among the ranges.
TEST_F(Journal, BytesWhoseWriteFailedAreHolesAndEndTheDumpWriteFailed)
{
   uint32_t slot = Init(1);
   FailWritesOf(slot, 2);
   for (uint32_t i = 0; i < 5; i++) {
      EXPECT_EQ(Data(1, slot, i * 1000, 1000), i < 2 ? hxk_success : hxk_write_failed);
   }
   PlatFault_Clear();
   Done(1, slot);
   std::string line = Line();
   EXPECT_TRUE(Has(line, "\"holes\":[[2000,3000]],\"holeBytes\":3000")) << line;
   EXPECT_TRUE(Has(line, "\"outcome\":\"writeFailed\"")) << line;
   EXPECT_TRUE(Has(line, "3000 bytes were never written after 3 failed writes: " +
                            testutil::ErrnoText(ENOSPC))) << line;
   EXPECT_EQ(salvorOpsCounters.dumps[SALVOR_OUTCOME_WRITE_FAILED], 1u);
}

TEST_F(Journal, FailedWritesMadeGoodLaterLeaveACompleteDump)
{
   uint32_t slot = Init(2);
   FailWritesOf(slot, 1);
   EXPECT_EQ(Data(2, slot, 0, 1000), hxk_success);
   EXPECT_EQ(Data(2, slot, 1000, 1000), hxk_write_failed);
   PlatFault_Clear();
   EXPECT_EQ(Data(2, slot, 1000, 1000), hxk_success);
   Done(2, slot);
   EXPECT_TRUE(Has(Line(), "\"holes\":[],\"holeBytes\":0,\"outcome\":\"complete\"")) << Line();
}

TEST_F(Journal, ADumpCutOffByAFullDiskThatExpiresEndsWriteFailed)
{
   uint32_t slot = Init(3);
   FailWritesOf(slot, 1);
   EXPECT_EQ(Data(3, slot, 0, 500), hxk_success);
   EXPECT_EQ(Data(3, slot, 500, 500), hxk_write_failed);
   PlatFault_Clear();
   fakeNow += (SALVOR_IDLE_TIMEOUT_SEC + 1) * 1000000;
   SalvorExpireIdleSlots();
   std::string line = Line();
   EXPECT_TRUE(Has(line, "\"holes\":[[500,500]]")) << line;
   EXPECT_TRUE(Has(line, "\"outcome\":\"writeFailed\",\"reason\":\"idle for 61 seconds after 1 "
                         "failed writes: " + testutil::ErrnoText(ENOSPC))) << line;
}

TEST_F(Journal, DataRefusedToKeepSpaceFreeIsAHoleToo)
{
   uint32_t slot = Init(4);
   EXPECT_EQ(Data(4, slot, 0, 100), hxk_success);
   SalvorOpsConfig.keepFreeMiB = int64_t{1} << 40;
   EXPECT_EQ(Data(4, slot, 100, 100), hxk_write_failed);
   Done(4, slot);
   std::string line = Line();
   EXPECT_TRUE(Has(line, "\"holes\":[[100,100]]")) << line;
   EXPECT_TRUE(Has(line, "\"outcome\":\"writeFailed\"")) << line;
   EXPECT_TRUE(Has(line, "keepFreeMiB")) << line;
}

// A flattened dump leaves pages out; its sender says so with the done.
TEST_F(Journal, ASparseDumpIsCompleteWithItsHolesListed)
{
   uint32_t slot = Init(5);
   Data(5, slot, 0, 100);
   Data(5, slot, 300, 100);
   Done(5, slot, "SPRS");
   slot = Init(6);
   Data(6, slot, 0, 100);
   Data(6, slot, 300, 100);
   Done(6, slot, "SPRT");  // anything else in the field: a dump like any other
   std::vector<std::string> lines = Lines(Text());
   ASSERT_EQ(lines.size(), 2u) << Text();
   EXPECT_TRUE(Has(lines[0], "\"holes\":[[100,200]],\"holeBytes\":200,\"sparse\":true,"
                             "\"outcome\":\"complete\"")) << lines[0];
   EXPECT_TRUE(Has(lines[1], "\"holes\":[[100,200]],\"holeBytes\":200,\"outcome\":"
                             "\"incomplete\"")) << lines[1];
   EXPECT_FALSE(Has(lines[1], "sparse")) << lines[1];
}

TEST_F(Journal, ASparseDumpWhoseWritesFailedIsStillWriteFailed)
{
   uint32_t slot = Init(7);
   FailWritesOf(slot, 1);
   Data(7, slot, 0, 100);
   Data(7, slot, 300, 100);
   PlatFault_Clear();
   Done(7, slot, "SPRS");
   EXPECT_TRUE(Has(Line(), "\"sparse\":true,\"outcome\":\"writeFailed\"")) << Line();
}

// The journal's own file on a full file system.
class JournalFile : public Journal {
protected:
   // Fails the journal's next writes: it opens its file for each record,
   // and gets the lowest free descriptor, which a probe shows.
   void FailJournalWrites(int count, long shortBytes = -1)
   {
      std::string probe = logDir / "probe";
      FileHandle fd;
      FileIO_OpenAppend(probe.c_str(), 0600, &fd);
      FileIO_CloseHandle(fd);
      std::filesystem::remove(probe);
      intptr_t handle = (intptr_t)fd;
      PlatFault_LimitTo(&handle, 1);
      PlatFault_Inject(PLAT_WRITE, ENOSPC, 0, count, shortBytes);
   }
   static void Record(int n)
   {
      SalvorJournalRemoved("10.0.0.1", ("/d/zdump_" + std::to_string(n)).c_str(), n, 0, "r");
   }
   // The numbers of the records in the journal, in its order.
   std::string Numbers() const
   {
      std::string numbers;
      for (const std::string &line : Lines(Text())) {
         size_t at = line.find("zdump_");
         EXPECT_TRUE(at != std::string::npos && line.back() == '}') << line;
         EXPECT_EQ(line.rfind("{\"time\":"), 0u) << "records run together: " << line;
         numbers += line.substr(at + 6, line.find('"', at) - at - 6) + " ";
      }
      return numbers;
   }
};

TEST_F(JournalFile, AShortWriteIsCutBackAndTheRecordWaitsForRoom)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "the journal's handle cannot be told in advance";
   }
   Record(1);
   std::string before = Text();
   FailJournalWrites(1, 40);
   Record(2);
   EXPECT_EQ(Text(), before) << "half a record was left";
   EXPECT_EQ(SalvorJournalFileWaiting(), 1u);
   PlatFault_Clear();
   Record(3);
   EXPECT_EQ(Numbers(), "1 2 3 ");
   EXPECT_TRUE(log.Contains("Cannot write the dump journal")) << log.Text();
   EXPECT_TRUE(log.Contains("can be written again; 0 records were dropped")) << log.Text();
}

TEST_F(JournalFile, RecordsBeyondThoseThatWaitAreDroppedAndCounted)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "the journal's handle cannot be told in advance";
   }
   FailJournalWrites(-1);
   for (int i = 0; i < (int)SALVOR_JOURNAL_MAX_WAITING + 3; i++) {
      Record(i);
   }
   EXPECT_EQ(Text(), "");
   EXPECT_EQ(SalvorJournalFileWaiting(), SALVOR_JOURNAL_MAX_WAITING);
   EXPECT_EQ(salvorOpsCounters.journalDropped, 3u);
   PlatFault_Clear();
   SalvorJournalFileRetryIfDue();
   EXPECT_EQ(Text(), "") << "tried again at most once a second";
   fakeNow += 1000000;
   SalvorJournalFileRetryIfDue();
   std::vector<std::string> lines = Lines(Text());
   ASSERT_EQ(lines.size(), SALVOR_JOURNAL_MAX_WAITING);
   EXPECT_TRUE(Has(lines.front(), "zdump_0\"")) << lines.front();
   EXPECT_TRUE(Has(lines.back(), "zdump_1023\"")) << lines.back();
   EXPECT_EQ(log.Count("further records are dropped"), 1u) << log.Text();
   EXPECT_TRUE(log.Contains("can be written again; 3 records were dropped")) << log.Text();
}

}  // namespace
