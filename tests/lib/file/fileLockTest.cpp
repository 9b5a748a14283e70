// Advisory lock files: the member records, the cleaning of stale and
// malformed state, the safety of the lock directory, and real processes
// contending for one lock.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "fileTestUtil.h"
#include "lib/file/file.h"
#include "lib/file/fileLock.h"
#include "lib/file/fileLockInt.h"
#include "lib/misc/msgList.h"
#include "lib/misc/platFault.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// Names in a directory, sorted; empty when it does not exist.
std::vector<std::string>
Entries(const std::string &dir)
{
   std::vector<std::string> names;
   DIR *d = opendir(dir.c_str());
   if (d == nullptr) {
      return names;
   }
   while (struct dirent *ent = readdir(d)) {
      if (std::strcmp(ent->d_name, ".") != 0 && std::strcmp(ent->d_name, "..") != 0) {
         names.push_back(ent->d_name);
      }
   }
   closedir(d);
   std::sort(names.begin(), names.end());
   return names;
}

// A member record as the protocol writes it: text padded with NULs.
void
PlantRecord(const std::string &path, const std::string &text, size_t size = 512)
{
   std::string data = text;
   data.resize(std::max(size, text.size()), '\0');
   data.resize(size);
   WriteFile(path, data);
}

std::vector<std::string>
Fields(const std::string &record)
{
   std::vector<std::string> out;
   std::istringstream in(record.substr(0, record.find('\0')));
   std::string f;
   while (in >> f) {
      out.push_back(f);
   }
   return out;
}

// A process id that has just ended.
int
DeadPid()
{
   pid_t pid = fork();
   if (pid == 0) {
      _exit(0);
   }
   waitpid(pid, nullptr, 0);
   return pid;
}

FileLockToken *
Acquire(const std::string &path, bool readOnly, uint32_t budget, int *err)
{
   return FileLock_Acquire(path.c_str(), readOnly, budget, err, nullptr);
}

void
Release(FileLockToken *token)
{
   int err = -1;
   EXPECT_TRUE(FileLock_Release(token, &err, nullptr));
   EXPECT_EQ(err, 0);
}

// A fileLockHolder process with a pipe to its stdin and from its stdout.
class Holder {
public:
   explicit Holder(const std::vector<std::string> &args)
   {
      int in[2], out[2];
      if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
         ADD_FAILURE() << "pipe";
         return;
      }
      pid_ = fork();
      if (pid_ == 0) {
         dup2(in[0], 0);
         dup2(out[1], 1);
         std::vector<char *> argv;
         argv.push_back(const_cast<char *>(FILE_LOCK_HOLDER));
         for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
         }
         argv.push_back(nullptr);
         execv(FILE_LOCK_HOLDER, argv.data());
         _exit(127);
      }
      close(in[0]);
      close(out[1]);
      toChild_ = in[1];
      fromChild_ = out[0];
   }
   ~Holder()
   {
      if (toChild_ >= 0) {
         close(toChild_);
      }
      if (fromChild_ >= 0) {
         close(fromChild_);
      }
      if (pid_ > 0) {
         kill(pid_, SIGKILL);
         waitpid(pid_, nullptr, 0);
      }
   }

   // The next line of output; empty after waitMs without one.
   std::string Line(int waitMs = 120000)
   {
      std::string line;
      char c;
      while (true) {
         pollfd p = {fromChild_, POLLIN, 0};
         if (poll(&p, 1, waitMs) <= 0 || read(fromChild_, &c, 1) != 1) {
            return "";
         }
         if (c == '\n') {
            return line;
         }
         line += c;
      }
   }
   // Tells it to release, and waits until it did.
   std::string ReleaseAndWait()
   {
      close(toChild_);
      toChild_ = -1;
      std::string line = Line();
      Reap();
      return line;
   }
   int Reap()
   {
      int status = -1;
      if (pid_ > 0) {
         waitpid(pid_, &status, 0);
         pid_ = -1;
      }
      return status;
   }
   void KillHard() { kill(pid_, SIGKILL); }
   pid_t Pid() const { return pid_; }

private:
   pid_t pid_ = -1;
   int toChild_ = -1;
   int fromChild_ = -1;
};

// Polls cond every 10 ms for at most two minutes.
template <typename Cond>
bool
Eventually(Cond cond)
{
   for (int i = 0; i < 12000; i++) {
      if (cond()) {
         return true;
      }
      usleep(10000);
   }
   return false;
}

size_t
CountPrefix(const std::vector<std::string> &names, char c)
{
   return (size_t)std::count_if(names.begin(), names.end(),
                                [c](const std::string &n) { return n[0] == c; });
}

class FileLockTest : public FileTestDir {
protected:
   void SetUp() override
   {
      FileTestDir::SetUp();
      path_ = P("target");
      lockDir_ = path_ + ".lck";
   }

   // The first two fields of a record this process writes: machine id and
   // execution id.
   void OwnIds(std::string *machine, std::string *exec)
   {
      int err;
      FileLockToken *t = Acquire(P("probe"), false, 0, &err);
      ASSERT_NE(t, nullptr);
      std::vector<std::string> names = Entries(P("probe.lck"));
      ASSERT_EQ(names.size(), 1u);
      std::vector<std::string> f = Fields(ReadFile(P("probe.lck/" + names[0])));
      Release(t);
      ASSERT_GE(f.size(), 2u);
      *machine = f[0];
      *exec = f[1];
   }

   std::string path_;
   std::string lockDir_;
};

uint32_t
Djb2Lower(const std::string &s)
{
   uint32_t h = 5381;
   for (char c : s) {
      h = h * 33 + (uint32_t)(int32_t)(signed char)std::tolower((unsigned char)c);
   }
   return h;
}

}  // namespace

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
   std::string record = ReadFile(lockDir_ + "/" + names[0]);
   ASSERT_EQ(record.size(), 512u);
   size_t end = record.find('\0');
   ASSERT_NE(end, std::string::npos);
   EXPECT_EQ(record.find_first_not_of('\0', end), std::string::npos) << "NUL padding";

   std::vector<std::string> f = Fields(record);
   ASSERT_EQ(f.size(), 6u) << record;
   std::string machineId = ReadFile("/etc/machine-id");
   if (machineId.size() >= 32) {
      std::string m = machineId.substr(0, 32);
      EXPECT_EQ(f[0], "uuid=" + m.substr(0, 8) + "-" + m.substr(8, 4) + "-" + m.substr(12, 4) +
                         "-" + m.substr(16, 4) + "-" + m.substr(20));
   } else {
      EXPECT_EQ(f[0].size(), 16u);
   }
   // "<pid>-<start time>(<executable>)", the start time again in field 5.
   std::string head = std::to_string(getpid()) + "-" + f[4] + "(";
   EXPECT_EQ(f[1].rfind(head, 0), 0u) << f[1];
   EXPECT_EQ(f[1].substr(head.size()), "file_lock_tests)");
   std::vector<std::string> stat = Fields(ReadFile("/proc/self/stat").substr(
      ReadFile("/proc/self/stat").rfind(')') + 2));
   EXPECT_EQ(f[4], stat[19]) << "start time is field 22 of /proc/self/stat";
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
   std::vector<std::string> fa = Fields(ReadFile(lockDir_ + "/" + held[0]));
   std::vector<std::string> fb = Fields(ReadFile(lockDir_ + "/" + held[1]));
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
   std::string member = lockDir_ + "/" + Entries(lockDir_)[0];

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
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   std::string good = machine + " " + exec + " 3 X 1 lc=1";
   PlantRecord(lockDir_ + "/M00001.lck", good, 511);
   PlantRecord(lockDir_ + "/M00002.lck", machine + " " + exec + " 3 X");
   PlantRecord(lockDir_ + "/M00003.lck", machine + " " + exec + " 3 Q 1 lc=1");
   PlantRecord(lockDir_ + "/M00004.lck", machine + " " + exec + " x3 X 1 lc=1");
   PlantRecord(lockDir_ + "/M00005.lck", good + " a=1 b=2 c=3 d=4 e=5 f=6 g=7 h=8 i=9 j=10 k=11");
   PlantRecord(lockDir_ + "/M00006.lck", std::string(512, 'x'));
   PlantRecord(lockDir_ + "/M00007.lck", std::string(1, '\0') + good);
   PlantRecord(lockDir_ + "/M00008.lck", good + " novalue=");
   WriteFile(lockDir_ + "/foo", "x");
   WriteFile(lockDir_ + "/M1234.lck", "x");

   CaptureStderr();
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   std::string log = GetCapturedStderr();
   ASSERT_NE(t, nullptr) << err << log;
   std::vector<std::string> left = Entries(lockDir_);
   EXPECT_EQ(left.size(), 1u) << testing::PrintToString(left);

   auto has = [&](const std::string &text) { return log.find(text) != std::string::npos; };
   EXPECT_TRUE(has("FILE: FileLockMemberValues file '" + lockDir_ +
                   "/M00001.lck': size 511, required size 512\n"));
   for (int i = 1; i <= 8; i++) {
      EXPECT_TRUE(has("FILE: FileLockMemberValues removing problematic lock file '" + lockDir_ +
                      "/M0000" + std::to_string(i) + ".lck'\n"))
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
   std::string start = exec.substr(exec.find('-') + 1, exec.find('(') - exec.find('-') - 1);
   std::string lc = " lc=" + std::to_string(Djb2Lower(lockDir_));
   for (const std::string &record :
        {machine + " " + exec + " +5 X " + start + lc,
         machine + " " + exec + " 5 X " + start + lc + std::string(1, '\0') + "junk"}) {
      ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
      PlantRecord(lockDir_ + "/M00061.lck", record);
      int err = -1;
      EXPECT_EQ(Acquire(path_, true, 0, &err), nullptr) << record;
      EXPECT_EQ(err, 0);
      EXPECT_TRUE(Exists(lockDir_ + "/M00061.lck")) << "a live holder's record stays";
      unlink((lockDir_ + "/M00061.lck").c_str());
      rmdir(lockDir_.c_str());
   }
}

TEST_F(FileLockTest, MembersOfDeadOrReplacedProcessesAreDiscarded)
{
   std::string machine, exec;
   OwnIds(&machine, &exec);
   std::string start = exec.substr(exec.find('-') + 1, exec.find('(') - exec.find('-') - 1);
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   int dead = DeadPid();
   // A process that has ended; this very process id with another start
   // time (the id was reused); the older form with a bare process id,
   // whose start time comes from the fifth field.
   PlantRecord(lockDir_ + "/M00011.lck",
               machine + " " + std::to_string(dead) + "-5(gone) 1 X 5 lc=1");
   PlantRecord(lockDir_ + "/M00012.lck",
               machine + " " + std::to_string(getpid()) + "-1(old) 1 X 1 lc=1");
   PlantRecord(lockDir_ + "/M00013.lck",
               machine + " " + std::to_string(getpid()) + " 1 X 7 lc=1");

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
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   PlantRecord(lockDir_ + "/M00014.lck",
               machine + " " + std::to_string(getpid()) + " 1 X " + start + " lc=1");
   EXPECT_EQ(Acquire(path_, false, 0, &err), nullptr);
   EXPECT_EQ(err, 0);
   EXPECT_TRUE(Exists(lockDir_ + "/M00014.lck"));
}

TEST_F(FileLockTest, MovedLockDirectoryIsDetectedByItsChecksum)
{
   std::string machine, exec;
   OwnIds(&machine, &exec);
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   PlantRecord(lockDir_ + "/M00021.lck", machine + " " + exec + " 1 X 1 lc=12345");
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
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   std::string foreign = "uuid=00000000-1111-2222-3333-444444444444";
   std::string member = lockDir_ + "/M00031.lck";
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
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   ASSERT_EQ(mkdir((lockDir_ + "/D00042.lck").c_str(), 0777), 0);
   WriteFile(lockDir_ + "/E00042.lck", "half");
   PlantRecord(lockDir_ + "/M00042.lck", "uuid=elsewhere 1-1 1 X 1 lc=1");

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
   EXPECT_FALSE(Exists(lockDir_ + "/M00042.lck"));
   Release(t);
}

TEST_F(FileLockTest, FailedWaitLeavesNoMemberFileBehind)
{
   // An entry in progress keeps the waiter rescanning; a subdirectory with
   // a stray name cannot be deleted and ends its scan with an error.
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   ASSERT_EQ(mkdir((lockDir_ + "/D00099.lck").c_str(), 0777), 0);
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
   ASSERT_EQ(mkdir((lockDir_ + "/junk").c_str(), 0777), 0);
   EXPECT_TRUE(Eventually([&] { return waiterDone.load(); }));
   waiter.join();
   EXPECT_NE(waiterErr, 0);
   std::vector<std::string> left = Entries(lockDir_);
   EXPECT_EQ(CountPrefix(left, 'M'), 0u) << testing::PrintToString(left);
   EXPECT_TRUE(Exists(lockDir_ + "/junk"));
}

TEST_F(FileLockTest, WaiterIsNotHeldByALaterLockerThatReusedTheName)
{
   // Numbers are random: the member waited for may leave and a newcomer
   // draw its number. The newcomer came after the waiter and waits for
   // it; watching the name alone would deadlock the two.
   std::string machine, exec;
   OwnIds(&machine, &exec);
   std::string start = exec.substr(exec.find('-') + 1, exec.find('(') - exec.find('-') - 1);
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   std::string member = lockDir_ + "/M00050.lck";
   PlantRecord(member, machine + " " + exec + " 1 X " + start);

   std::atomic<FileLockToken *> got{nullptr};
   std::atomic<bool> done{false};
   std::thread waiter([&] {
      int e = -1;
      got = Acquire(path_, false, FILELOCK_WAIT_FOREVER, &e);
      done = true;
   });
   ASSERT_TRUE(Eventually([&] { return CountPrefix(Entries(lockDir_), 'M') == 2; }));
   std::string newcomer = lockDir_ + "/E00050.lck";
   PlantRecord(newcomer, machine + " " + exec + " 3 X " + start);
   ASSERT_EQ(rename(newcomer.c_str(), member.c_str()), 0);
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

TEST_F(FileLockTest, SymbolicLinksAreNeverFollowed)
{
   // A link in place of the lock directory: the scan would delete what
   // it does not recognise wherever the link leads.
   std::string elsewhere = P("elsewhere");
   ASSERT_EQ(mkdir(elsewhere.c_str(), 0777), 0);
   WriteFile(elsewhere + "/precious", "keep");
   ASSERT_EQ(symlink(elsewhere.c_str(), lockDir_.c_str()), 0);
   int err = -1;
   EXPECT_EQ(Acquire(path_, false, 0, &err), nullptr);
   EXPECT_EQ(err, ENOTDIR);
   EXPECT_EQ(Entries(elsewhere), std::vector<std::string>{"precious"});
   unlink(lockDir_.c_str());

   // A link posing as a member goes; what it points at stays.
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   ASSERT_EQ(symlink((elsewhere + "/precious").c_str(), (lockDir_ + "/M00005.lck").c_str()), 0);
   FileLockToken *t = Acquire(path_, false, 0, &err);
   ASSERT_NE(t, nullptr);
   EXPECT_EQ(ReadFile(elsewhere + "/precious"), "keep");
   EXPECT_EQ(CountPrefix(Entries(lockDir_), 'M'), 1u);
   Release(t);
}

TEST_F(FileLockTest, LinksPosingAsMembersAreRemovedUnread)
{
   std::string machine, exec;
   OwnIds(&machine, &exec);
   std::string start = exec.substr(exec.find('-') + 1, exec.find('(') - exec.find('-') - 1);
   // A record of this live process that would hold an exclusive lock if
   // it were read through the link.
   std::string record = P("record");
   PlantRecord(record, machine + " " + exec + " 1 X " + start + " lc=" +
                          std::to_string(Djb2Lower(lockDir_)));
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   ASSERT_EQ(symlink(record.c_str(), (lockDir_ + "/M00007.lck").c_str()), 0);
   ASSERT_EQ(symlink(P("nothing").c_str(), (lockDir_ + "/M00008.lck").c_str()), 0);

   CaptureStderr();
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   std::string log = GetCapturedStderr();
   ASSERT_NE(t, nullptr) << err << log;
   for (const char *name : {"M00007.lck", "M00008.lck"}) {
      EXPECT_NE(log.find("FILE: FileLockMemberValues removing problematic lock file '" +
                         lockDir_ + "/" + name + "'\n"),
                std::string::npos)
         << name << log;
   }
   EXPECT_EQ(CountPrefix(Entries(lockDir_), 'M'), 1u) << "only the own member is left";
   EXPECT_EQ(ReadFile(record).size(), 512u);
   Release(t);
}

TEST_F(FileLockTest, DirectoryPosingAsAMemberEndsTheRequestWithAccessDenied)
{
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   ASSERT_EQ(mkdir((lockDir_ + "/M00009.lck").c_str(), 0777), 0);
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
   EXPECT_NE(std::string(text).find("(13 [errno 13])"), std::string::npos) << text;
   free(text);
   MsgList_Free(msgs);
   EXPECT_NE(log.find("FILE: FileLockMemberValues open failure on '" + lockDir_ +
                      "/M00009.lck': "),
             std::string::npos)
      << log;
   EXPECT_EQ(Entries(lockDir_), std::vector<std::string>{"M00009.lck"});
}

TEST_F(FileLockTest, EntryThatIsNoDirectoryIsRemovedAtOnce)
{
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   WriteFile(lockDir_ + "/D00001.lck", "x");
   ASSERT_EQ(symlink(P("nowhere").c_str(), (lockDir_ + "/D00002.lck").c_str()), 0);
   alarm(60);  // a request that loops for ever ends the test here
   CaptureStderr();
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   std::string log = GetCapturedStderr();
   alarm(0);
   ASSERT_NE(t, nullptr) << err << log;
   EXPECT_NE(log.find("FILE: FileLockScanDirectory discarding D00001.lck from " + lockDir_ +
                      "'; not an entry directory.\n"),
             std::string::npos)
      << log;
   EXPECT_EQ(CountPrefix(Entries(lockDir_), 'D'), 0u);
   Release(t);
}

TEST_F(FileLockTest, EntryThatCannotBeRemovedFailsTheRequestWithinItsBudget)
{
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   ASSERT_EQ(mkdir((lockDir_ + "/D00003.lck").c_str(), 0777), 0);
   WriteFile(lockDir_ + "/D00003.lck/inside", "x");
   alarm(60);  // a request that loops for ever ends the test here
   for (uint32_t budget : {0u, 300u, FILELOCK_WAIT_FOREVER}) {
      CaptureStderr();
      int err = -1;
      EXPECT_EQ(Acquire(path_, true, budget, &err), nullptr) << budget;
      GetCapturedStderr();
      EXPECT_EQ(err, ENOTEMPTY) << budget;
      EXPECT_EQ(Entries(lockDir_), std::vector<std::string>{"D00003.lck"}) << budget;
   }
   alarm(0);
}

TEST_F(FileLockTest, LongAbandonedEntryIsDiscardedWhenTheBudgetIsSpent)
{
   // By the file system's clock, made a minute before the waiter's own
   // member file: no locker takes that long to choose.
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   std::string entry = lockDir_ + "/D00004.lck";
   ASSERT_EQ(mkdir(entry.c_str(), 0777), 0);
   struct timeval old[2];
   gettimeofday(&old[0], nullptr);
   old[0].tv_sec -= 60;
   old[1] = old[0];
   ASSERT_EQ(utimes(entry.c_str(), old), 0);
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
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   ASSERT_EQ(mkdir(entry.c_str(), 0777), 0);
   EXPECT_EQ(Acquire(path_, false, 0, &err), nullptr);
   EXPECT_EQ(err, 0);
   EXPECT_EQ(Entries(lockDir_), std::vector<std::string>{"D00004.lck"});
}

TEST_F(FileLockTest, FifoPosingAsAMemberDoesNotHoldTheScan)
{
   ASSERT_EQ(mkdir(lockDir_.c_str(), 0777), 0);
   ASSERT_EQ(mkfifo((lockDir_ + "/M00005.lck").c_str(), 0666), 0);
   alarm(60);  // a scan that waits for a writer ends the test here
   int err = -1;
   CaptureStderr();
   FileLockToken *t = Acquire(path_, false, 0, &err);
   GetCapturedStderr();
   alarm(0);
   ASSERT_NE(t, nullptr) << err;
   EXPECT_EQ(CountPrefix(Entries(lockDir_), 'M'), 1u) << "the FIFO was removed";
   Release(t);
}

TEST_F(FileLockTest, UnwritableLockDirectoryGrantsOnlySharedLocks)
{
   // Root passes every permission check: the failure seam stands for a
   // read-only file system and for a directory we may not write.
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

   // Access denied is retried for the primitive's budget first.
   PlatFault_Inject(PLAT_MKDIR, EACCES, 0, -1);
   shared = Acquire(path_, true, 0, &err);
   ASSERT_NE(shared, nullptr);
   EXPECT_TRUE(FileLock_IsImplicit(shared));
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

TEST_F(FileLockTest, UmaskNarrowsNeitherTheLockDirectoryNorTheRecord)
{
   mode_t oldMask = umask(077);
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   umask(oldMask);
   ASSERT_NE(t, nullptr) << err;
   struct stat st;
   ASSERT_EQ(stat(lockDir_.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 07777, 0777u);
   std::string member = lockDir_ + "/" + Entries(lockDir_)[0];
   ASSERT_EQ(stat(member.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 07777, 0644u);

   // Another user asking for a shared lock waits for the exclusive
   // holder; it is not waved through for want of access.
   ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
   pid_t pid = fork();
   if (pid == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) {
         _exit(77);
      }
      if (access(dir_.c_str(), X_OK) != 0) {
         _exit(78);  // a directory above the scratch one is closed to it
      }
      int e = -1;
      FileLockToken *other = Acquire(path_, true, 0, &e);
      _exit(other == nullptr && e == 0 ? 0 : other != nullptr ? 1 : 2);
   }
   int status = -1;
   waitpid(pid, &status, 0);
   Release(t);
   ASSERT_TRUE(WIFEXITED(status));
   if (WEXITSTATUS(status) == 77 || WEXITSTATUS(status) == 78) {
      GTEST_SKIP() << "cannot act as a second user here (" << WEXITSTATUS(status) << ")";
   }
   EXPECT_EQ(WEXITSTATUS(status), 0) << "1: granted beside the exclusive holder";
}

TEST_F(FileLockTest, BlockDeviceIsLockedInTheSafeTemporaryDirectory)
{
   std::string device;
   for (const std::string &name : Entries("/dev")) {
      struct stat st;
      if (stat(("/dev/" + name).c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
         device = "/dev/" + name;
         break;
      }
   }
   if (device.empty()) {
      GTEST_SKIP() << "no block device under /dev here";
   }
   char *tmp = File_GetSafeTmpDir(false);
   ASSERT_NE(tmp, nullptr);
   std::string mapped = std::string(tmp) + "/pd" + device.substr(5) + ".lck";
   free(tmp);
   int err = -1;
   FileLockToken *t = Acquire(device, true, 0, &err);
   ASSERT_NE(t, nullptr) << err;
   EXPECT_EQ(Entries(mapped).size(), 1u);
   EXPECT_FALSE(Exists(device + ".lck"));
   Release(t);
   EXPECT_FALSE(Exists(mapped));
}

// --- Real processes ---

TEST_F(FileLockTest, EightProcessesIncrementACounterUnderTheExclusiveLock)
{
   // Waiters pace themselves in 100 ms steps, so the whole run takes about
   // two minutes; the sanitizer builds, which run the suite again, take a
   // shorter share of it.
   int rounds = getenv("SALVOR_QUICK_TESTS") != nullptr ? 25 : 200;
   std::string counter = P("counter");
   WriteFile(counter, "0\n");
   std::vector<pid_t> pids;
   for (int i = 0; i < 8; i++) {
      pid_t pid = fork();
      if (pid == 0) {
         execl(FILE_LOCK_HOLDER, FILE_LOCK_HOLDER, "count", path_.c_str(), counter.c_str(),
               std::to_string(rounds).c_str(), (char *)nullptr);
         _exit(127);
      }
      pids.push_back(pid);
   }
   for (pid_t pid : pids) {
      int status = -1;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
   }
   EXPECT_EQ(ReadFile(counter), std::to_string(8 * rounds) + "\n");
   EXPECT_FALSE(Exists(lockDir_));
}

TEST_F(FileLockTest, SharedHoldersOverlapWhileAnExclusiveRequestWaits)
{
   std::string room = P("room");
   ASSERT_EQ(mkdir(room.c_str(), 0777), 0);
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
   ASSERT_EQ(mkdir(room.c_str(), 0777), 0);
   Holder h({"hold", path_, "X", "0", room});
   ASSERT_EQ(h.Line(), "held");
   std::string member = Entries(lockDir_)[0];
   h.KillHard();
   // Not reaped yet: a zombie holds no lock either.
   std::string stat = "/proc/" + std::to_string(h.Pid()) + "/stat";
   ASSERT_TRUE(Eventually([&] {
      std::string s = ReadFile(stat);
      return s.find(") Z ") != std::string::npos;
   }));

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
   h.Reap();
}

TEST_F(FileLockTest, WaiterDiscardsAHolderThatDiesWhileItWaits)
{
   std::string room = P("room");
   ASSERT_EQ(mkdir(room.c_str(), 0777), 0);
   Holder h({"hold", path_, "X", "0", room});
   ASSERT_EQ(h.Line(), "held");
   std::string member = lockDir_ + "/" + Entries(lockDir_)[0];

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
