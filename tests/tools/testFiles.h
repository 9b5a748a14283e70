// Scratch files for the client tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Bytes that differ at every offset, so misplaced chunks show up.
inline std::vector<uint8_t>
RandomBytes(size_t n, uint32_t seed = 1)
{
   std::mt19937 gen(seed);
   std::vector<uint8_t> v(n);
   for (auto &b : v) {
      b = (uint8_t)gen();
   }
   return v;
}

// A file in the test's temporary directory, removed at the end.
class TempFile {
public:
   explicit TempFile(const std::vector<uint8_t> &content)
   {
      std::string tmpl = testing::TempDir() + "salvorsend-XXXXXX";
      int fd = mkstemp(tmpl.data());
      EXPECT_GE(fd, 0);
      path_ = tmpl;
      EXPECT_EQ(write(fd, content.data(), content.size()), (ssize_t)content.size());
      close(fd);
   }
   ~TempFile() { unlink(path_.c_str()); }
   const std::string &Path() const { return path_; }

private:
   std::string path_;
};
