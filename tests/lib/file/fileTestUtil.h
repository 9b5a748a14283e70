// Shared fixtures of the file library tests: a scratch directory under
// $TMPDIR per test and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "tests/support/testFiles.h"

class FileTestDir : public ::testing::Test {
protected:
   void SetUp() override;
   void TearDown() override;

   // Path of name inside the scratch directory.
   std::string P(const std::string &name) const { return dir_ + "/" + name; }

   std::unique_ptr<testutil::TempDir> scratch_;
   std::string dir_;
};

using testutil::ReadFile;
using testutil::WriteFile;
bool Exists(const std::string &path);
// Milliseconds on a monotonic clock.
long NowMs();
