// Advisory lock files where only POSIX has what the test needs: symbolic
// links, named pipes, the creation mask and a second user, block devices
// under /dev, and a child that has ended but is not reaped.
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "fileLockTestUtil.h"
#include "lib/file/file.h"
#include "lib/file/fileLock.h"
#include "lib/misc/msgList.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST_F(FileLockTest, SymbolicLinksAreNeverFollowed)
{
   // A link in place of the lock directory: the scan would delete what
   // it does not recognise wherever the link leads.
   std::string elsewhere = P("elsewhere");
   ASSERT_TRUE(MakeDir(elsewhere));
   WriteFile(elsewhere + "/precious", "keep");
   ASSERT_EQ(symlink(elsewhere.c_str(), lockDir_.c_str()), 0);
   int err = -1;
   EXPECT_EQ(Acquire(path_, false, 0, &err), nullptr);
   EXPECT_EQ(err, ENOTDIR);
   EXPECT_EQ(Entries(elsewhere), std::vector<std::string>{"precious"});
   Remove(lockDir_);

   // A link posing as a member goes; what it points at stays.
   ASSERT_TRUE(MakeDir(lockDir_));
   ASSERT_EQ(symlink((elsewhere + "/precious").c_str(), (L("M00005.lck")).c_str()), 0);
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
   std::string start = StartTime(exec);
   // A record of this live process that would hold an exclusive lock if
   // it were read through the link.
   std::string record = P("record");
   PlantRecord(record, machine + " " + exec + " 1 X " + start + " lc=" +
                          std::to_string(Djb2Lower(lockDir_)));
   ASSERT_TRUE(MakeDir(lockDir_));
   ASSERT_EQ(symlink(record.c_str(), (L("M00007.lck")).c_str()), 0);
   ASSERT_EQ(symlink(P("nothing").c_str(), (L("M00008.lck")).c_str()), 0);

   CaptureStderr();
   int err = -1;
   FileLockToken *t = Acquire(path_, false, 0, &err);
   std::string log = GetCapturedStderr();
   ASSERT_NE(t, nullptr) << err << log;
   for (const char *name : {"M00007.lck", "M00008.lck"}) {
      EXPECT_NE(log.find("FILE: FileLockMemberValues removing problematic lock file '" +
                         L("") + name + "'\n"),
                std::string::npos)
         << name << log;
   }
   EXPECT_EQ(CountPrefix(Entries(lockDir_), 'M'), 1u) << "only the own member is left";
   EXPECT_EQ(ReadFile(record).size(), 512u);
   Release(t);
}

TEST_F(FileLockTest, EntryThatIsNoDirectoryIsRemovedAtOnce)
{
   ASSERT_TRUE(MakeDir(lockDir_));
   WriteFile(L("D00001.lck"), "x");
   ASSERT_EQ(symlink(P("nowhere").c_str(), (L("D00002.lck")).c_str()), 0);
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

TEST_F(FileLockTest, FifoPosingAsAMemberDoesNotHoldTheScan)
{
   ASSERT_TRUE(MakeDir(lockDir_));
   ASSERT_EQ(mkfifo((L("M00005.lck")).c_str(), 0666), 0);
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
   std::string member = L("") + Entries(lockDir_)[0];
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

TEST_F(FileLockTest, KilledHolderNotYetReapedIsCleanedOutByTheNextLocker)
{
   std::string room = P("room");
   ASSERT_TRUE(MakeDir(room));
   Holder h({"hold", path_, "X", "0", room});
   ASSERT_EQ(h.Line(), "held");
   std::string member = Entries(lockDir_)[0];
   kill(h.Pid(), SIGKILL);
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

