// Shared fixtures of the file library tests: a scratch directory under
// $TMPDIR per test and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "lib/file/file.h"
#include "tests/support/testFiles.h"

class FileTestDir : public ::testing::Test {
protected:
   void SetUp() override;
   void TearDown() override;

   // Path of name inside the scratch directory, joined as the library joins.
   std::string P(const std::string &name) const { return dir_ + DIRSEPS + name; }

   std::unique_ptr<testutil::TempDir> scratch_;
   std::string dir_;
};

using testutil::ReadFile;
using testutil::WriteFile;
bool Exists(const std::string &path);
/*
 * The thread's last file error (File_LastError: errno on POSIX, the Win32
 * code on Windows) as the library's errno-style code, so that a test can
 * name what went wrong once for both platforms.
 */
int LastErrno();
// Milliseconds on a monotonic clock.
long NowMs();
