// File helpers shared by the tests; see testFiles.h. Making temporary
// names is the platform's business (testFilesPosix.cpp, testFilesWin32.cpp).
#include "tests/support/testFiles.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace testutil {

TempDir::TempDir() : TempDir(TempRoot()) {}

TempDir::~TempDir()
{
   std::error_code ec;
   // Dump files are read-only: give the tree back its write bits first.
   for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
        it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
   }
   std::filesystem::remove_all(path_, ec);
}

std::string
ReadFile(const std::string &path)
{
   std::ifstream in(path, std::ios::binary);
   std::ostringstream out;
   out << in.rdbuf();
   return out.str();
}

void
WriteFile(const std::string &path, const std::string &content)
{
   std::ofstream out(path, std::ios::binary);
   out << content;
}

std::vector<std::string>
ListFiles(const std::string &dir)
{
   // Files may go while the walk runs (a collector removing partial
   // dumps): those are left out, never an error.
   std::vector<std::string> files;
   std::error_code ec;
   std::string prefix = dir + "/";
   for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
        it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::error_code typeError;
      if (it->is_regular_file(typeError)) {
         std::string path = it->path().string();
         files.push_back(path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path);
      }
   }
   std::sort(files.begin(), files.end());
   return files;
}

std::vector<uint8_t>
RandomBytes(size_t n, uint32_t seed)
{
   std::mt19937 gen(seed);
   std::vector<uint8_t> v(n);
   for (auto &b : v) {
      b = (uint8_t)gen();
   }
   return v;
}

}  // namespace testutil
