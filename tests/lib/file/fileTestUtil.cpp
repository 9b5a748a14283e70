#include "fileTestUtil.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "lib/misc/platFault.h"

void
FileTestDir::SetUp()
{
   char tmpl[] = "/tmp/salvorFileTest.XXXXXX";
   ASSERT_NE(mkdtemp(tmpl), nullptr);
   dir_ = tmpl;
}

void
FileTestDir::TearDown()
{
   PlatFault_Clear();
   std::string cmd = "rm -rf '" + dir_ + "'";
   (void)std::system(cmd.c_str());
}

void
WriteFileText(const std::string &path, const std::string &text)
{
   std::ofstream out(path, std::ios::binary | std::ios::trunc);
   out << text;
}

std::string
ReadFileText(const std::string &path)
{
   std::ifstream in(path, std::ios::binary);
   std::stringstream ss;
   ss << in.rdbuf();
   return ss.str();
}

bool
Exists(const std::string &path)
{
   struct stat st;
   return stat(path.c_str(), &st) == 0;
}

long
NowMs()
{
   using namespace std::chrono;
   return (long)duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
      .count();
}
