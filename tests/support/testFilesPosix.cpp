// Temporary directories and files of the tests on POSIX: mkdtemp, mkstemp.
#include "tests/support/testFiles.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testutil {

std::string
TempRoot()
{
   const char *tmp = getenv("TMPDIR");
   return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

const char *const TEMP_DIR_VARIABLE = "TMPDIR";

void
SetEnv(const std::string &name, const std::string &value)
{
   setenv(name.c_str(), value.c_str(), 1);
}

void
UnsetEnv(const std::string &name)
{
   unsetenv(name.c_str());
}

TempDir::TempDir(const std::string &parent)
{
   std::string templ = parent + "/salvor-test-XXXXXX";
   if (mkdtemp(templ.data()) == nullptr) {
      throw std::runtime_error("cannot make a temporary directory in " + parent + ": " +
                               strerror(errno));
   }
   path_ = templ;
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

bool
MakeFifo(const std::string &path)
{
   return mkfifo(path.c_str(), 0600) == 0;
}

bool
SetFileDacl(const std::string &, const std::string &)
{
   return false;
}

}  // namespace testutil
