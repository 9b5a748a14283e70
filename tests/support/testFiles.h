// File helpers shared by the tests: temporary directories and whole-file
// reads and writes.
#pragma once

#include <string>
#include <vector>

namespace testutil {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
   TempDir();
   ~TempDir();
   TempDir(const TempDir &) = delete;
   TempDir &operator=(const TempDir &) = delete;
   const std::string &path() const { return path_; }
   std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
   std::string path_;
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);
// Every regular file below dir, as paths relative to it, sorted.
std::vector<std::string> ListFiles(const std::string &dir);

}  // namespace testutil
