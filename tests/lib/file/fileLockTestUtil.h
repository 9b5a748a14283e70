// What the lock-file tests share: the lock directory's entries, member
// records planted by hand, file_lock_holder children and the fixture.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fileTestUtil.h"
#include "lib/file/fileLock.h"
#include "tests/support/process.h"

// Names in a directory, sorted; empty when it does not exist.
std::vector<std::string> Entries(const std::string &dir);
// A directory made, or a file or an empty directory removed; true on success.
bool MakeDir(const std::string &path);
bool Remove(const std::string &path);
// A member record as the protocol writes it: text padded with NULs.
void PlantRecord(const std::string &path, const std::string &text, size_t size = 512);
// The blank-separated fields of a record, up to its first NUL.
std::vector<std::string> Fields(const std::string &record);
// Sets a file's or directory's access and modification times `seconds`
// back from now (fileLockAge<platform>.cpp); true on success.
bool DateBack(const std::string &path, int seconds);
// A process id that has just ended.
int DeadPid();
size_t CountPrefix(const std::vector<std::string> &names, char c);
uint32_t Djb2Lower(const std::string &s);
// Polls cond every 10 ms for at most two minutes.
bool EventuallyTrue(bool (*cond)(void *), void *arg);
template <typename Cond>
bool
Eventually(Cond cond)
{
   return EventuallyTrue([](void *c) { return (*static_cast<Cond *>(c))(); }, &cond);
}

FileLockToken *Acquire(const std::string &path, bool readOnly, uint32_t budget, int *err);
void Release(FileLockToken *token);

// A file_lock_holder child whose input the test closes to make it let go,
// and whose output lines the test reads.
class Holder {
public:
   explicit Holder(const std::vector<std::string> &args);

   // The next line of output; empty after waitMs without one.
   std::string Line(int waitMs = 120000);
   // Tells it to release, and waits until it did.
   std::string ReleaseAndWait();
   void Reap() { child_->Wait(); }
   void KillHard() { child_->Kill(); }
   int Pid() const { return (int)child_->Pid(); }

private:
   testutil::TempDir dir_;
   std::unique_ptr<testutil::Process> child_;
   testutil::OutputLines lines_;
};

class FileLockTest : public FileTestDir {
protected:
   void SetUp() override;

   // The first two fields of a record this process writes: machine id and
   // execution id; and the start time that the latter carries.
   void OwnIds(std::string *machine, std::string *exec);
   static std::string StartTime(const std::string &exec);
   // An entry of the lock directory, joined as the library joins.
   std::string L(const std::string &name) const { return lockDir_ + DIRSEPS + name; }

   std::string path_;
   std::string lockDir_;
};
