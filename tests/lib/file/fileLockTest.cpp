// Advisory lock files: the member records, the cleaning of stale and
// malformed state, the safety of the lock directory, and real processes
// contending for one lock.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fileLockTestUtil.h"
#include "lib/file/file.h"
#include "lib/file/fileLock.h"
#include "lib/file/fileLockInt.h"
#include "lib/misc/hostinfo.h"
#include "lib/misc/msgList.h"
#include "lib/misc/platFault.h"
#include "tests/support/testPlatform.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

#ifndef FILE_LOCK_TESTS_BRIEF
#define FILE_LOCK_TESTS_BRIEF 0
#endif
// Whether only the Windows subset runs (see CMakeLists.txt).
constexpr bool BRIEF = FILE_LOCK_TESTS_BRIEF != 0;

// --- The member record and the life of the lock directory ---

TEST_F(FileLockTest, MemberRecordNamesThisMachineAndThisProcess)
{
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   ASSERT_NE(t, nullptr);
   EXPECT_EQ(err, 0);
   EXPECT_FALSE(FileLock_IsImplicit(t));

   std::vector<std::string> names = Entries(lockDir_);
   ASSERT_EQ(names.size(), 1u);
   EXPECT_EQ(names[0].size(), 10u);
   EXPECT_EQ(names[0].rfind("M", 0), 0u);
   std::string record = ReadFile(L("") + names[0]);
   ASSERT_EQ(record.size(), 512u);
   size_t end = record.find('\0');
   ASSERT_NE(end, std::string::npos);
   EXPECT_EQ(record.find_first_not_of('\0', end), std::string::npos) << "NUL padding";

   std::vector<std::string> f = Fields(record);
   ASSERT_EQ(f.size(), 6u) << record;
   std::string machineId = TEST_ON_WINDOWS ? "" : ReadFile("/etc/machine-id");
   if (machineId.size() >= 32) {
      std::string m = machineId.substr(0, 32);
      EXPECT_EQ(f[0], "uuid=" + m.substr(0, 8) + "-" + m.substr(8, 4) + "-" + m.substr(12, 4) +
                         "-" + m.substr(16, 4) + "-" + m.substr(20));
   } else if (TEST_ON_WINDOWS) {
      EXPECT_EQ(f[0].rfind("uuid=", 0), 0u) << "Windows machines have a UUID";
   } else {
      EXPECT_EQ(f[0].size(), 16u);
   }
   // "<pid>-<start time>(<executable>)", the start time again in field 5.
   std::string head = std::to_string(Hostinfo_ProcessId()) + "-" + f[4] + "(";
   EXPECT_EQ(f[1].rfind(head, 0), 0u) << f[1];
   EXPECT_EQ(f[1].substr(head.size()),
             TEST_ON_WINDOWS ? "file_lock_tests.exe)" : "file_lock_tests)");
   if (!TEST_ON_WINDOWS) {
      std::string procStat = ReadFile("/proc/self/stat");
      std::vector<std::string> stat = Fields(procStat.substr(procStat.rfind(')') + 2));
      EXPECT_EQ(f[4], stat[19]) << "start time is field 22 of /proc/self/stat";
   } else {
      EXPECT_GT(std::stoull(f[4]), 0u) << "the process's creation time";
   }
   EXPECT_EQ(f[2], "1");
   EXPECT_EQ(f[3], "X");
   EXPECT_EQ(f[5], "lc=" + std::to_string(Djb2Lower(lockDir_)));

   Release(t);
   EXPECT_FALSE(Exists(lockDir_));
}

TEST_F(FileLockTest, SharedHoldersCoexistAndExclusiveWithoutBudgetLeavesNothing)
{
   int err = -1;
   FileLockToken *a = Acquire(path_, true, 0, &err);
   FileLockToken *b = Acquire(path_, true, 0, &err);
   ASSERT_NE(a, nullptr);
   ASSERT_NE(b, nullptr);
   std::vector<std::string> held = Entries(lockDir_);
   EXPECT_EQ(held.size(), 2u);
   // Tickets: the second shared locker came after the first.
   std::vector<std::string> fa = Fields(ReadFile(L("") + held[0]));
   std::vector<std::string> fb = Fields(ReadFile(L("") + held[1]));
   EXPECT_EQ(std::min(fa[2], fb[2]) + std::max(fa[2], fb[2]), "12");

   MsgList *msgs = nullptr;
   err = -1;
   EXPECT_EQ(FileLock_Acquire(path_.c_str(), false, 0, &err, &msgs), nullptr);
   EXPECT_EQ(err, 0) << "0 means timed out";
   EXPECT_NE(msgs, nullptr);
   MsgList_Free(msgs);
   EXPECT_EQ(Entries(lockDir_), held);

   Release(a);
   EXPECT_TRUE(Exists(lockDir_)) << "the other holder is still in it";
   Release(b);
   EXPECT_FALSE(Exists(lockDir_));
}

TEST_F(FileLockTest, WaiterGivesUpAfterItsBudgetNamingTheHolder)
{
   std::string machine, exec;
   OwnIds(&machine, &exec);
   int err = -1;
   FileLockToken *holder = Acquire(path_, true, 0, &err);
   ASSERT_NE(holder, nullptr);
   std::string member = L("") + Entries(lockDir_)[0];

   CaptureStderr();
   long start = NowMs();
   EXPECT_EQ(Acquire(path_, false, 300, &err), nullptr);
   long slept = NowMs() - start;
   std::string log = GetCapturedStderr();
   EXPECT_EQ(err, 0);
   // 100 ms pauses until more than the budget has been waited.
   EXPECT_GE(slept, 400);
   EXPECT_NE(log.find("FILE: FileLockWaitForPossession timeout on '" + member +
                      "' due to a local process '" + exec + "'\n"),
             std::string::npos)
      << log;
   EXPECT_EQ(Entries(lockDir_).size(), 1u) << "the waiter's member file is gone";
   Release(holder);
}

// --- Stale, malformed and foreign state in the lock directory ---

TEST_F(FileLockTest, MalformedRecordsAndStrayNamesAreRemoved)
{
   std::string machine, exec;
   OwnIds(&machine, &exec);
   ASSERT_TRUE(MakeDir(lockDir_));
   std::string good = machine + " " + exec + " 3 X 1 lc=1";
   PlantRecord(L("M00001.lck"), good, 511);
   PlantRecord(L("M00002.lck"), machine + " " + exec + " 3 X");
   PlantRecord(L("M00003.lck"), machine + " " + exec + " 3 Q 1 lc=1");
   PlantRecord(L("M00004.lck"), machine + " " + exec + " x3 X 1 lc=1");
   PlantRecord(L("M00005.lck"), good + " a=1 b=2 c=3 d=4 e=5 f=6 g=7 h=8 i=9 j=10 k=11");
   PlantRecord(L("M00006.lck"), std::string(512, 'x'));
   PlantRecord(L("M00007.lck"), std::string(1, '\0') + good);
   PlantRecord(L("M00008.lck"), good + " novalue=");
   WriteFile(L("foo"), "x");
   WriteFile(L("M1234.lck"), "x");

   CaptureStderr();
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   std::string log = GetCapturedStderr();
   ASSERT_NE(t, nullptr) << err << log;
   std::vector<std::string> left = Entries(lockDir_);
   EXPECT_EQ(left.size(), 1u) << testing::PrintToString(left);

   auto has = [&](const std::string &text) { return log.find(text) != std::string::npos; };
   EXPECT_TRUE(has("FILE: FileLockMemberValues file '" + L("M00001.lck") +
                   "': size 511, required size 512\n"));
   for (int i = 1; i <= 8; i++) {
      EXPECT_TRUE(has("FILE: FileLockMemberValues removing problematic lock file '" +
                      L("M0000" + std::to_string(i) + ".lck") + "'\n"))
         << i;
   }
   EXPECT_TRUE(has("FILE: FileLockMemberValues 'M00002.lck' contents are:\n"));
   EXPECT_TRUE(has("FILE: FileLockMemberValues M00002.lck argv[3]: 'X'\n"));
   EXPECT_TRUE(has("FILE: FileLockScanDirectory discarding foo from " + lockDir_ +
                   "'; invalid file name.\n"));
   EXPECT_TRUE(has("FILE: FileLockScanDirectory discarding M1234.lck from " + lockDir_ +
                   "'; invalid file name.\n"));
   Release(t);
}

TEST(FileLockRecord, TextEndsAtItsFirstNulAndTheTicketReadsAsUnsigned)
{
   const std::string head = "uuid=m 12-34(x) ";
   struct Case {
      std::string text;
      bool ok;
      uint32_t ticket;
   } cases[] = {
      {head + "7 S 34 lc=1", true, 7},
      {head + "+5 X 34 lc=1", true, 5},
      {head + "9z X 34 lc=1", true, 9},
      {head + "7 S 34 lc=1" + std::string(1, '\0') + "stale bytes", true, 7},
      {head + "7 S 34 lc=1 " + std::string(512 - head.size() - 14, 'k') + "=v", true, 7},
      {head + "x7 S 34 lc=1", false, 0},
      {head + "7 Q 34 lc=1", false, 0},
      {std::string(1, '\0') + head + "7 S 34 lc=1", false, 0},
   };
   for (const Case &c : cases) {
      char record[FILELOCK_RECORD_SIZE + 1] = {};
      std::memcpy(record, c.text.data(), std::min(c.text.size(), FILELOCK_RECORD_SIZE));
      FileLockRecordFields fields{};
      EXPECT_EQ(FileLockParseMemberRecord(record, &fields), c.ok) << c.text;
      if (c.ok) {
         EXPECT_EQ(fields.lamportNumber, c.ticket) << c.text;
         EXPECT_STREQ(fields.executionID, "12-34(x)");
      }
   }
}

TEST_F(FileLockTest, LiveHolderRecordWithOddTicketIsKept)
{
   std::string machine, exec;
   OwnIds(&machine, &exec);
   std::string start = StartTime(exec);
   std::string lc = " lc=" + std::to_string(Djb2Lower(lockDir_));
   for (const std::string &record :
        {machine + " " + exec + " +5 X " + start + lc,
         machine + " " + exec + " 5 X " + start + lc + std::string(1, '\0') + "junk"}) {
      ASSERT_TRUE(MakeDir(lockDir_));
      PlantRecord(L("M00061.lck"), record);
      int err = -1;
      EXPECT_EQ(Acquire(path_, true, 0, &err), nullptr) << record;
      EXPECT_EQ(err, 0);
      EXPECT_TRUE(Exists(L("M00061.lck"))) << "a live holder's record stays";
      Remove((L("M00061.lck")));
      Remove(lockDir_);
   }
}

TEST_F(FileLockTest, MembersOfDeadOrReplacedProcessesAreDiscarded)
{
   std::string machine, exec;
   OwnIds(&machine, &exec);
   std::string start = StartTime(exec);
   ASSERT_TRUE(MakeDir(lockDir_));
   int dead = DeadPid();
   // A process that has ended; this very process id with another start
   // time (the id was reused); the older form with a bare process id,
   // whose start time comes from the fifth field.
   PlantRecord(L("M00011.lck"),
               machine + " " + std::to_string(dead) + "-5(gone) 1 X 5 lc=1");
   PlantRecord(L("M00012.lck"),
               machine + " " + std::to_string(Hostinfo_ProcessId()) + "-1(old) 1 X 1 lc=1");
   PlantRecord(L("M00013.lck"),
               machine + " " + std::to_string(Hostinfo_ProcessId()) + " 1 X 7 lc=1");

   CaptureStderr();
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   std::string log = GetCapturedStderr();
   ASSERT_NE(t, nullptr) << err << log;
   for (const char *name : {"M00011.lck", "M00012.lck", "M00013.lck"}) {
      EXPECT_NE(log.find(std::string("FILE: FileLockScanDirectory discarding ") + name +
                         " from " + lockDir_ + "': invalid executionID.\n"),
                std::string::npos)
         << name << log;
   }
   Release(t);

   // The older form naming this live process with its real start time
   // holds the lock.
   ASSERT_TRUE(MakeDir(lockDir_));
   PlantRecord(L("M00014.lck"),
               machine + " " + std::to_string(Hostinfo_ProcessId()) + " 1 X " + start + " lc=1");
   EXPECT_EQ(Acquire(path_, false, 0, &err), nullptr);
   EXPECT_EQ(err, 0);
   EXPECT_TRUE(Exists(L("M00014.lck")));
}

TEST_F(FileLockTest, MovedLockDirectoryIsDetectedByItsChecksum)
{
   std::string machine, exec;
   OwnIds(&machine, &exec);
   ASSERT_TRUE(MakeDir(lockDir_));
   PlantRecord(L("M00021.lck"), machine + " " + exec + " 1 X 1 lc=12345");
   CaptureStderr();
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   std::string log = GetCapturedStderr();
   ASSERT_NE(t, nullptr);
   EXPECT_NE(log.find("discarding M00021.lck from " + lockDir_ + "': lock file has been moved.\n"),
             std::string::npos)
      << log;
   Release(t);
}

TEST_F(FileLockTest, MemberOfAnotherMachineIsNeverJudgedByLiveness)
{
   ASSERT_TRUE(MakeDir(lockDir_));
   std::string foreign = "uuid=00000000-1111-2222-3333-444444444444";
   std::string member = L("M00031.lck");
   PlantRecord(member, foreign + " " + std::to_string(DeadPid()) + "-9(far) 1 X 9 lc=1");

   CaptureStderr();
   int err = -1;
   EXPECT_EQ(Acquire(path_, true, 250, &err), nullptr);
   std::string log = GetCapturedStderr();
   EXPECT_EQ(err, 0);
   EXPECT_NE(log.find("FILE: FileLockWaitForPossession timeout on '" + member +
                      "' due to another machine '" + foreign + "'\n"),
             std::string::npos)
      << log;
   EXPECT_EQ(Entries(lockDir_), std::vector<std::string>{"M00031.lck"});
}

TEST_F(FileLockTest, AbandonedEntryIsDiscardedAfterItsAge)
{
   if (BRIEF) {
      GTEST_SKIP() << "eight seconds of portable scans, left to the full run";
   }
   ASSERT_TRUE(MakeDir(lockDir_));
   ASSERT_TRUE(MakeDir(L("D00042.lck")));
   WriteFile(L("E00042.lck"), "half");
   PlantRecord(L("M00042.lck"), "uuid=elsewhere 1-1 1 X 1 lc=1");

   CaptureStderr();
   long start = NowMs();
   int err = -1;
   FileLockToken *t = Acquire(path_, false, FILELOCK_WAIT_FOREVER, &err);
   long waited = NowMs() - start;
   std::string log = GetCapturedStderr();
   ASSERT_NE(t, nullptr) << err;
   // Removed in the scan after the one in which its age reached 8200:
   // at least 41 pauses of 200 ms.
   EXPECT_GE(waited, 41 * 200);
   EXPECT_NE(log.find("FILE: FileLockScanner discarding D00042.lck data from '" + lockDir_ +
                      "'.\n"),
             std::string::npos);
   EXPECT_EQ(Entries(lockDir_).size(), 1u);
   EXPECT_FALSE(Exists(L("M00042.lck")));
   Release(t);
}

TEST_F(FileLockTest, FailedWaitLeavesNoMemberFileBehind)
{
   // An entry in progress keeps the waiter rescanning; a subdirectory with
   // a stray name cannot be deleted and ends its scan with an error.
   ASSERT_TRUE(MakeDir(lockDir_));
   ASSERT_TRUE(MakeDir(L("D00099.lck")));
   std::atomic<int> waiterErr{-1};
   std::atomic<bool> waiterDone{false};
   std::thread waiter([&] {
      int e = -1;
      FileLockToken *t = Acquire(path_, false, FILELOCK_WAIT_FOREVER, &e);
      waiterErr = e;
      waiterDone = true;
      if (t != nullptr) {
         Release(t);
      }
   });
   ASSERT_TRUE(Eventually([&] { return CountPrefix(Entries(lockDir_), 'M') == 1; }));
   ASSERT_TRUE(MakeDir(L("junk")));
   EXPECT_TRUE(Eventually([&] { return waiterDone.load(); }));
   waiter.join();
   EXPECT_NE(waiterErr, 0);
   std::vector<std::string> left = Entries(lockDir_);
   EXPECT_EQ(CountPrefix(left, 'M'), 0u) << testing::PrintToString(left);
   EXPECT_TRUE(Exists(L("junk")));
}

TEST_F(FileLockTest, WaiterIsNotHeldByALaterLockerThatReusedTheName)
{
   // Numbers are random: the member waited for may leave and a newcomer
   // draw its number. The newcomer came after the waiter and waits for
   // it; watching the name alone would deadlock the two.
   std::string machine, exec;
   OwnIds(&machine, &exec);
   std::string start = StartTime(exec);
   ASSERT_TRUE(MakeDir(lockDir_));
   std::string member = L("M00050.lck");
   PlantRecord(member, machine + " " + exec + " 1 X " + start);

   std::atomic<FileLockToken *> got{nullptr};
   std::atomic<bool> done{false};
   std::thread waiter([&] {
      int e = -1;
      got = Acquire(path_, false, FILELOCK_WAIT_FOREVER, &e);
      done = true;
   });
   ASSERT_TRUE(Eventually([&] { return CountPrefix(Entries(lockDir_), 'M') == 2; }));
   std::string newcomer = L("E00050.lck");
   PlantRecord(newcomer, machine + " " + exec + " 3 X " + start);
   std::filesystem::rename(newcomer, member);
   EXPECT_TRUE(Eventually([&] { return done.load(); }));
   waiter.join();
   ASSERT_NE(got.load(), nullptr);
   Release(got.load());
   EXPECT_TRUE(Exists(member));
}

// --- What the lock directory may be ---

TEST_F(FileLockTest, PlainFileInPlaceOfTheDirectoryIsAnOldStyleLock)
{
   WriteFile(lockDir_, "old");
   CaptureStderr();
   int err = -1;
   EXPECT_EQ(Acquire(path_, false, 1000, &err), nullptr);
   EXPECT_NE(GetCapturedStderr().find("FILE: FileLockCreateEntryDirectory: '" + lockDir_ +
                                      "' exists; an old style lock file?\n"),
             std::string::npos);
   EXPECT_EQ(err, EBUSY);
   EXPECT_EQ(ReadFile(lockDir_), "old");
}

TEST_F(FileLockTest, DirectoryPosingAsAMemberEndsTheRequestWithAccessDenied)
{
   ASSERT_TRUE(MakeDir(lockDir_));
   ASSERT_TRUE(MakeDir(L("M00009.lck")));
   MsgList *msgs = nullptr;
   int err = -1;
   CaptureStderr();
   EXPECT_EQ(FileLock_Acquire(path_.c_str(), false, 0, &err, &msgs), nullptr);
   std::string log = GetCapturedStderr();
   EXPECT_EQ(err, EACCES);
   ASSERT_NE(msgs, nullptr);
   char *text = MsgList_FormatNode(msgs);
   // The platform error of the message is the cause's, not that of the
   // clean-up that followed it.
   std::string denied = TEST_ON_WINDOWS ? "(5 [errno 13])" : "(13 [errno 13])";
   EXPECT_NE(std::string(text).find(denied), std::string::npos) << text;
   free(text);
   MsgList_Free(msgs);
   EXPECT_NE(log.find("FILE: FileLockMemberValues open failure on '" + L("M00009.lck") +
                      "': "),
             std::string::npos)
      << log;
   EXPECT_EQ(Entries(lockDir_), std::vector<std::string>{"M00009.lck"});
}

TEST_F(FileLockTest, EntryThatCannotBeRemovedFailsTheRequestWithinItsBudget)
{
   ASSERT_TRUE(MakeDir(lockDir_));
   ASSERT_TRUE(MakeDir(L("D00003.lck")));
   WriteFile(L("D00003.lck/inside"), "x");
   for (uint32_t budget : {0u, 300u, FILELOCK_WAIT_FOREVER}) {
      if (BRIEF && budget != 0) {
         break;
      }
      CaptureStderr();
      int err = -1;
      EXPECT_EQ(Acquire(path_, true, budget, &err), nullptr) << budget;
      GetCapturedStderr();
      EXPECT_EQ(err, ENOTEMPTY) << budget;
      EXPECT_EQ(Entries(lockDir_), std::vector<std::string>{"D00003.lck"}) << budget;
   }
}

TEST_F(FileLockTest, LongAbandonedEntryIsDiscardedWhenTheBudgetIsSpent)
{
   // By the file system's clock, made a minute before the waiter's own
   // member file: no locker takes that long to choose.
   ASSERT_TRUE(MakeDir(lockDir_));
   std::string entry = L("D00004.lck");
   ASSERT_TRUE(MakeDir(entry));
   ASSERT_TRUE(DateBack(entry, 60));
   CaptureStderr();
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   std::string log = GetCapturedStderr();
   ASSERT_NE(t, nullptr) << err << log;
   EXPECT_NE(log.find("FILE: FileLockScanner discarding D00004.lck data from '" + lockDir_ +
                      "'.\n"),
             std::string::npos)
      << log;
   Release(t);

   // A young one is someone choosing: the request times out.
   ASSERT_TRUE(MakeDir(lockDir_));
   ASSERT_TRUE(MakeDir(entry));
   EXPECT_EQ(Acquire(path_, false, 0, &err), nullptr);
   EXPECT_EQ(err, 0);
   EXPECT_EQ(Entries(lockDir_), std::vector<std::string>{"D00004.lck"});
}

TEST_F(FileLockTest, ReadOnlyLockDirectoryGrantsOnlySharedLocks)
{
   if (TEST_ON_WINDOWS) {
      GTEST_SKIP() << "the failure seam has no Windows error for a read-only medium";
   }
   // Root passes every permission check: the failure seam stands for a
   // read-only file system.
   PlatFault_Inject(PLAT_MKDIR, EROFS, 0, -1);
   CaptureStderr();
   int err = -1;
   FileLockToken *shared = Acquire(path_, true, 0, &err);
   std::string log = GetCapturedStderr();
   ASSERT_NE(shared, nullptr);
   EXPECT_EQ(err, 0);
   EXPECT_TRUE(FileLock_IsImplicit(shared));
   EXPECT_NE(log.find("FILE: FileLockIntrinsicPortable implicit S lock succeeded on '" + path_ +
                      "'.\n"),
             std::string::npos);
   MsgList *msgs = nullptr;
   EXPECT_EQ(FileLock_Acquire(path_.c_str(), false, 0, &err, &msgs), nullptr);
   EXPECT_EQ(err, EROFS);
   EXPECT_NE(msgs, nullptr);
   MsgList_Free(msgs);
   Release(shared);
   PlatFault_Clear();
   EXPECT_FALSE(Exists(lockDir_));
}

TEST_F(FileLockTest, DeniedLockDirectoryGrantsOnlySharedLocks)
{
   // The failure seam stands for a directory we may not write.
   PlatFault_Inject(PLAT_MKDIR, EACCES, 0, -1);
   int err = -1;
   FileLockToken *shared = Acquire(path_, true, 0, &err);
   ASSERT_NE(shared, nullptr);
   EXPECT_TRUE(FileLock_IsImplicit(shared));
   EXPECT_EQ(Acquire(path_, false, 0, &err), nullptr);
   EXPECT_EQ(err, EACCES);
   Release(shared);
   PlatFault_Clear();
   EXPECT_FALSE(Exists(lockDir_));
}

TEST_F(FileLockTest, UnwritableDirectoryGrantsTheSharedLockAfterOneAttempt)
{
   static std::atomic<int> mkdirs{0};
   mkdirs = 0;
   PlatFault_SetObserver([](PlatCall call) {
      if (call == PLAT_MKDIR) {
         mkdirs++;
      }
   });
   PlatFault_Inject(PLAT_MKDIR, EACCES, 0, -1);
   int err = -1;
   FileLockToken *shared = Acquire(path_, true, 2500, &err);
   PlatFault_Clear();
   ASSERT_NE(shared, nullptr);
   EXPECT_TRUE(FileLock_IsImplicit(shared));
   EXPECT_EQ(mkdirs.load(), 1) << "access denied to the lock directory is not retried";
   Release(shared);
}

namespace {

std::atomic<int> entryMkdirs{0};

void
CountMkdirs(PlatCall call)
{
   if (call == PLAT_MKDIR) {
      entryMkdirs++;
   }
}

}  // namespace

/*
 * A lock directory left by another user, which this one may not write:
 * the entry directory cannot be made. The shared request is granted and
 * the exclusive one refused without a retry budget spent on it; one more
 * number is tried, since on Windows a name being deleted refuses access too.
 */
TEST_F(FileLockTest, ForeignLockDirectoryGrantsTheSharedLockWithoutWaiting)
{
   ASSERT_TRUE(MakeDir(lockDir_));
   for (bool readOnlyMedium : {false, true}) {
      if (readOnlyMedium && TEST_ON_WINDOWS) {
         continue;  // the seam has no Windows error for a read-only medium
      }
      SCOPED_TRACE(readOnlyMedium ? "read-only file system" : "access denied");
      int code = readOnlyMedium ? EROFS : EACCES;
      entryMkdirs = 0;
      PlatFault_SetObserver(CountMkdirs);
      PlatFault_Inject(PLAT_MKDIR, code, 0, -1);
      CaptureStderr();
      int err = -1;
      FileLockToken *shared = Acquire(path_, true, 2500, &err);
      int sharedMkdirs = entryMkdirs.exchange(0);
      FileLockToken *exclusive = Acquire(path_, false, 2500, &err);
      int exclusiveMkdirs = entryMkdirs.load();
      std::string log = GetCapturedStderr();
      PlatFault_Clear();
      ASSERT_NE(shared, nullptr);
      EXPECT_TRUE(FileLock_IsImplicit(shared));
      EXPECT_LE(sharedMkdirs, 2);
      EXPECT_EQ(exclusive, nullptr);
      EXPECT_EQ(err, code);
      EXPECT_LE(exclusiveMkdirs, 2);
      EXPECT_EQ(log.find("retry time expired"), std::string::npos) << log;
      Release(shared);
   }
   EXPECT_TRUE(Entries(lockDir_).empty());
}

// A single refusal (a name still being deleted) costs one more number, not the lock.
TEST_F(FileLockTest, OneRefusedEntryDirectoryTakesAnotherNumber)
{
   ASSERT_TRUE(MakeDir(lockDir_));
   PlatFault_Inject(PLAT_MKDIR, EACCES, 0, 1);
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   PlatFault_Clear();
   ASSERT_NE(t, nullptr);
   EXPECT_EQ(err, 0);
   EXPECT_FALSE(FileLock_IsImplicit(t));
   Release(t);
}

TEST_F(FileLockTest, EightProcessesIncrementACounterUnderTheExclusiveLock)
{
   // Waiters pace themselves in 100 ms steps, so the whole run takes about
   // two minutes; the sanitizer builds, which run the suite again, take a
   // shorter share of it.
   int rounds = getenv("SALVOR_QUICK_TESTS") != nullptr ? 25 : 200;
   std::string counter = P("counter");
   WriteFile(counter, "0\n");
   std::vector<std::unique_ptr<testutil::Process>> children;
   for (int i = 0; i < 8; i++) {
      children.push_back(std::make_unique<testutil::Process>(std::vector<std::string>{
         FILE_LOCK_HOLDER, "count", path_, counter, std::to_string(rounds)}));
   }
   for (auto &child : children) {
      testutil::ExitInfo exit = child->Wait();
      EXPECT_TRUE(exit.Exited() && exit.Code() == 0) << exit.status;
   }
   EXPECT_EQ(std::stol(ReadFile(counter)), 8 * rounds);
   EXPECT_FALSE(Exists(lockDir_));
}

TEST_F(FileLockTest, SharedHoldersOverlapWhileAnExclusiveRequestWaits)
{
   std::string room = P("room");
   ASSERT_TRUE(MakeDir(room));
   Holder s1({"hold", path_, "S", "0", room});
   ASSERT_EQ(s1.Line(), "held");
   Holder s2({"hold", path_, "S", "0", room});
   ASSERT_EQ(s2.Line(), "held") << "shared holders overlap";

   Holder x({"hold", path_, "X", "4294967295", room});
   // Its member file is in place: it is waiting, not choosing.
   ASSERT_TRUE(Eventually([&] {
      std::vector<std::string> e = Entries(lockDir_);
      return CountPrefix(e, 'M') == 3 && CountPrefix(e, 'D') == 0;
   }));
   EXPECT_EQ(x.Line(300), "") << "the exclusive request runs before the shared ones left";

   EXPECT_EQ(s1.ReleaseAndWait(), "released");
   EXPECT_EQ(s2.ReleaseAndWait(), "released");
   EXPECT_EQ(x.Line(), "held") << "alone in the room";

   // A shared request now waits for the exclusive holder.
   Holder s3({"hold", path_, "S", "4294967295", room});
   ASSERT_TRUE(Eventually([&] { return CountPrefix(Entries(lockDir_), 'M') == 2; }));
   EXPECT_EQ(x.ReleaseAndWait(), "released");
   EXPECT_EQ(s3.Line(), "held");
   EXPECT_EQ(s3.ReleaseAndWait(), "released");
   EXPECT_FALSE(Exists(lockDir_));
}

TEST_F(FileLockTest, KilledHolderIsCleanedOutByTheNextLocker)
{
   std::string room = P("room");
   ASSERT_TRUE(MakeDir(room));
   Holder h({"hold", path_, "X", "0", room});
   ASSERT_EQ(h.Line(), "held");
   std::string member = Entries(lockDir_)[0];
   h.KillHard();

   CaptureStderr();
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   std::string log = GetCapturedStderr();
   ASSERT_NE(t, nullptr) << err;
   EXPECT_NE(log.find("FILE: FileLockScanDirectory discarding " + member + " from " + lockDir_ +
                      "': invalid executionID.\n"),
             std::string::npos)
      << log;
   Release(t);
}

TEST_F(FileLockTest, WaiterDiscardsAHolderThatDiesWhileItWaits)
{
   std::string room = P("room");
   ASSERT_TRUE(MakeDir(room));
   Holder h({"hold", path_, "X", "0", room});
   ASSERT_EQ(h.Line(), "held");
   std::string member = L("") + Entries(lockDir_)[0];

   std::atomic<FileLockToken *> got{nullptr};
   std::atomic<bool> done{false};
   CaptureStderr();
   std::thread waiter([&] {
      int e = -1;
      got = Acquire(path_, false, FILELOCK_WAIT_FOREVER, &e);
      done = true;
   });
   ASSERT_TRUE(Eventually([&] { return CountPrefix(Entries(lockDir_), 'M') == 2; }));
   h.KillHard();
   h.Reap();
   ASSERT_TRUE(Eventually([&] { return done.load(); }));
   waiter.join();
   std::string log = GetCapturedStderr();
   ASSERT_NE(got.load(), nullptr);
   // The holder dies while the waiter waits for it or, on a slow run,
   // while the waiter's member is made but its scan has not yet ended:
   // either way the waiter discards it.
   bool discardedWaiting = log.find("FILE: FileLockWaitForPossession discarding file '" +
                                    member + "'; invalid executionID.\n") != std::string::npos;
   bool discardedScanning =
      log.find("FILE: FileLockScanDirectory discarding " + member.substr(lockDir_.size() + 1) +
               " from " + lockDir_ + "': invalid executionID.\n") != std::string::npos;
   EXPECT_TRUE(discardedWaiting || discardedScanning) << log;
   Release(got.load());
}

TEST_F(FileLockTest, PhysicalDriveIsLockedInTheSafeTemporaryDirectory)
{
   if (!TEST_ON_WINDOWS) {
      GTEST_SKIP() << "disks have these names on Windows only";
   }
   // Wine keeps no DACL, so that no safe directory passes its check and
   // each request makes a fresh one beside the others: the lock is looked
   // for in all of them.
   char *tmp = File_GetSafeTmpDir(false);
   ASSERT_NE(tmp, nullptr);
   std::string parent = std::filesystem::path(tmp).parent_path().string();
   free(tmp);
   auto locksNamed = [&](const std::string &lock) {
      size_t members = 0;
      for (const std::string &name : Entries(parent)) {
         if (name.rfind("quillon", 0) == 0) {
            members += Entries(parent + DIRSEPS + name + DIRSEPS + lock).size();
         }
      }
      return members;
   };
   struct Case {
      const char *device;
      const char *lock;
   } cases[] = {
      {"\\\\.\\PhysicalDrive3", "pd3.lck"},
      {"\\\\.\\physicaldrive3", "pd3.lck"},
      {"\\\\.\\PHYSICALDRIVE12", "pd12.lck"},
   };
   // Only the disk's number may follow the prefix.
   for (const char *other : {"\\\\.\\PhysicalDrive", "\\\\.\\PhysicalDrive1a",
                             "\\\\.\\PhysicalDrive3\\..\\..\\x", "\\\\.\\PhysicalDrive 3"}) {
      std::string rest;
      EXPECT_FALSE(FileLockDeviceName(other, &rest)) << other << " -> pd" << rest;
   }
   for (const Case &c : cases) {
      int err = -1;
      FileLockToken *t = Acquire(c.device, false, 0, &err);
      ASSERT_NE(t, nullptr) << c.device << ": " << err;
      EXPECT_EQ(locksNamed(c.lock), 1u) << c.device;
      Release(t);
      EXPECT_EQ(locksNamed(c.lock), 0u) << c.device;
   }
}
