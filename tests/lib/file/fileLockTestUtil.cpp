#include "fileLockTestUtil.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

std::vector<std::string>
Entries(const std::string &dir)
{
   std::vector<std::string> names;
   std::error_code ec;
   for (const auto &entry : fs::directory_iterator(dir, ec)) {
      names.push_back(entry.path().filename().string());
   }
   std::sort(names.begin(), names.end());
   return names;
}

bool
MakeDir(const std::string &path)
{
   std::error_code ec;
   return fs::create_directory(path, ec);
}

bool
Remove(const std::string &path)
{
   std::error_code ec;
   return fs::remove(path, ec);
}

void
PlantRecord(const std::string &path, const std::string &text, size_t size)
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

int
DeadPid()
{
   // file_lock_holder without arguments ends at once.
   testutil::SpawnOptions quiet;
   quiet.err = testutil::Redirect::Null;
   testutil::Process child({FILE_LOCK_HOLDER}, quiet);
   child.Wait();
   return (int)child.Pid();
}

size_t
CountPrefix(const std::vector<std::string> &names, char c)
{
   return (size_t)std::count_if(names.begin(), names.end(),
                                [c](const std::string &n) { return n[0] == c; });
}

uint32_t
Djb2Lower(const std::string &s)
{
   uint32_t h = 5381;
   for (char c : s) {
      h = h * 33 + (uint32_t)(int32_t)(signed char)std::tolower((unsigned char)c);
   }
   return h;
}

bool
EventuallyTrue(bool (*cond)(void *), void *arg)
{
   for (int i = 0; i < 12000; i++) {
      if (cond(arg)) {
         return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
   }
   return false;
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

Holder::Holder(const std::vector<std::string> &args) : lines_(dir_ / "out")
{
   std::vector<std::string> argv{FILE_LOCK_HOLDER};
   argv.insert(argv.end(), args.begin(), args.end());
   testutil::SpawnOptions options;
   options.out = testutil::Redirect::ToFile(dir_ / "out");
   options.inputPipe = true;
   child_ = std::make_unique<testutil::Process>(argv, options);
}

std::string
Holder::Line(int waitMs)
{
   return lines_.Next(std::chrono::milliseconds(waitMs));
}

std::string
Holder::ReleaseAndWait()
{
   child_->CloseInput();
   std::string line = Line();
   child_->Wait();
   return line;
}

void
FileLockTest::SetUp()
{
   FileTestDir::SetUp();
   path_ = P("target");
   lockDir_ = path_ + ".lck";
}

void
FileLockTest::OwnIds(std::string *machine, std::string *exec)
{
   int err;
   FileLockToken *t = Acquire(P("probe"), false, 0, &err);
   ASSERT_NE(t, nullptr);
   std::vector<std::string> names = Entries(P("probe.lck"));
   ASSERT_EQ(names.size(), 1u);
   std::vector<std::string> f = Fields(ReadFile(P("probe.lck") + DIRSEPS + names[0]));
   Release(t);
   ASSERT_GE(f.size(), 2u);
   *machine = f[0];
   *exec = f[1];
}

std::string
FileLockTest::StartTime(const std::string &exec)
{
   return exec.substr(exec.find('-') + 1, exec.find('(') - exec.find('-') - 1);
}
