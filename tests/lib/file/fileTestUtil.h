// Shared fixtures of the file library tests: a scratch directory under
// /tmp per test and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <string>

class FileTestDir : public ::testing::Test {
protected:
   void SetUp() override;
   void TearDown() override;

   // Path of name inside the scratch directory.
   std::string P(const std::string &name) const { return dir_ + "/" + name; }

   std::string dir_;
};

void WriteFileText(const std::string &path, const std::string &text);
std::string ReadFileText(const std::string &path);
bool Exists(const std::string &path);
// Milliseconds on a monotonic clock.
long NowMs();
