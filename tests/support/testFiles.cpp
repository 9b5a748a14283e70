// File helpers shared by the tests; see testFiles.h.
#include "tests/support/testFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <unistd.h>

namespace testutil {

std::string
TempRoot()
{
   const char *tmp = getenv("TMPDIR");
   return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

TempDir::TempDir() : TempDir(TempRoot()) {}

TempDir::TempDir(const std::string &parent)
{
   std::string templ = parent + "/salvor-test-XXXXXX";
   if (mkdtemp(templ.data()) == nullptr) {
      throw std::runtime_error("cannot make a temporary directory in " + parent + ": " +
                               strerror(errno));
   }
   path_ = templ;
}

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

TempFile::TempFile(const std::vector<uint8_t> &content)
{
   std::string templ = TempRoot() + "/salvor-file-XXXXXX";
   int fd = mkstemp(templ.data());
   if (fd < 0) {
      throw std::runtime_error("mkstemp failed in " + TempRoot());
   }
   path_ = templ;
   bool written = write(fd, content.data(), content.size()) == (ssize_t)content.size();
   close(fd);
   if (!written) {
      unlink(path_.c_str());
      throw std::runtime_error("cannot write " + path_);
   }
}

TempFile::~TempFile()
{
   unlink(path_.c_str());
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
