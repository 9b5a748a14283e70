// File helpers shared by the tests; see testFiles.h.
#include "tests/support/testFiles.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>

namespace testutil {

TempDir::TempDir()
{
   char templ[] = "/tmp/salvor-test-XXXXXX";
   if (mkdtemp(templ) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
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
   std::vector<std::string> files;
   std::error_code ec;
   for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
        it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_regular_file()) {
         files.push_back(std::filesystem::relative(it->path(), dir).string());
      }
   }
   std::sort(files.begin(), files.end());
   return files;
}

}  // namespace testutil
