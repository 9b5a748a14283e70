// A fixture for tests whose panics run in a child process: the child
// (re-executed by the death test) finds the directory of its parent's
// test through the environment, writes its log there and makes it the
// base of its temporary directories, so that core images land there too.
// Header only and portable: the Windows build has no shared test library.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "lib/coreDump/fatalPath.h"
#include "lib/log/log.h"

// Sets a variable of this process's environment, which its children inherit.
inline void
PanicTestSetEnv(const char *name, const std::string &value)
{
#if defined(_WIN32)
   _putenv_s(name, value.c_str());
#else
   setenv(name, value.c_str(), 1);
#endif
}

// Where the temporary directories of this process and its children go.
inline void
PanicTestSetTempBase(const std::string &dir)
{
   PanicTestSetEnv("TMPDIR", dir);
#if defined(_WIN32)
   PanicTestSetEnv("TMP", dir);
   PanicTestSetEnv("TEMP", dir);
#endif
}

// The whole file, or "" when it cannot be read.
inline std::string
PanicTestReadFile(const std::string &path)
{
   std::ifstream in(path, std::ios::binary);
   std::ostringstream out;
   out << in.rdbuf();
   return out.str();
}

// A fresh directory under the temporary directory, removed with all in it.
class PanicTestDir {
public:
   PanicTestDir()
   {
      namespace fs = std::filesystem;
      std::random_device random;
      fs::path parent = fs::temp_directory_path();
      do {
         path_ = (parent / ("salvor-panic-" + std::to_string(random()))).make_preferred();
      } while (!fs::create_directory(path_));
   }
   ~PanicTestDir()
   {
      std::error_code ec;
      std::filesystem::remove_all(path_, ec);
   }
   PanicTestDir(const PanicTestDir &) = delete;
   PanicTestDir &operator=(const PanicTestDir &) = delete;
   std::string Path() const { return path_.string(); }

private:
   std::filesystem::path path_;
};

class PanicDeathTest : public testing::Test {
protected:
   void SetUp() override
   {
      GTEST_FLAG_SET(death_test_style, "threadsafe");
      if (!GTEST_FLAG_GET(internal_run_death_test).empty() &&
          std::getenv("PANIC_TEST_DIR") != nullptr) {
         dir = std::getenv("PANIC_TEST_DIR");
      } else {
         tmp.emplace();
         dir = tmp->Path();
         PanicTestSetEnv("PANIC_TEST_DIR", dir);
      }
      logPath = (std::filesystem::path(dir) / "panic.log").make_preferred().string();
   }

   // Called first in the child.
   void StartChild()
   {
      PanicTestSetTempBase(dir);
      Log_InitWithFile(logPath.c_str(), "test");
      CoreDump_InstallPanicHandler();
   }

   std::string ReadLog() const { return PanicTestReadFile(logPath); }

   std::optional<PanicTestDir> tmp;  // the parent's only
   std::string dir;
   std::string logPath;
};

// The last line of a text, without its "\n".
inline std::string
LastLine(const std::string &text)
{
   size_t end = text.find_last_not_of('\n');
   if (end == std::string::npos) {
      return "";
   }
   size_t start = text.rfind('\n', end);
   start = start == std::string::npos ? 0 : start + 1;
   return text.substr(start, end + 1 - start);
}

/*
 * The lines of text that match an expression, each as its match and
 * subexpressions (unmatched ones empty). The expressions are the common
 * ground of POSIX extended and ECMAScript ones, read as the latter, which
 * takes escaped brackets.
 */
inline std::vector<std::vector<std::string>>
MatchingLines(const std::string &text, const char *pattern)
{
   std::vector<std::vector<std::string>> out;
   std::regex re;
   try {
      re.assign(pattern);
   } catch (const std::regex_error &) {
      ADD_FAILURE() << "bad expression " << pattern;
      return out;
   }
   size_t start = 0;
   while (start < text.size()) {
      size_t end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end;
      std::string line = text.substr(start, end - start);
      std::smatch m;
      if (std::regex_search(line, m, re)) {
         std::vector<std::string> groups;
         for (const auto &g : m) {
            groups.push_back(g.matched ? g.str() : "");
         }
         groups.resize(10);
         out.push_back(groups);
      }
      start = end + 1;
   }
   return out;
}
