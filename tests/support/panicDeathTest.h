// A fixture for tests whose panics run in a child process: the child
// (re-executed by the death test) finds the directory of its parent's
// test through the environment, writes its log there and points TMPDIR
// at it, so that core images land there too.
#pragma once

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <regex.h>
#include <string>
#include <vector>

#include "lib/coreDump/fatalPath.h"
#include "lib/log/log.h"
#include "tests/support/testFiles.h"

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
         setenv("PANIC_TEST_DIR", dir.c_str(), 1);
      }
      logPath = dir + "/panic.log";
   }

   // Called first in the child.
   void StartChild()
   {
      setenv("TMPDIR", dir.c_str(), 1);
      Log_InitWithFile(logPath.c_str(), "test");
      CoreDump_InstallPanicHandler();
   }

   std::string ReadLog() const { return testutil::ReadFile(logPath); }

   std::optional<testutil::TempDir> tmp;  // the parent's only
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
 * The lines of text that match a POSIX extended expression, each as its
 * match and subexpressions (unmatched ones empty).
 */
inline std::vector<std::vector<std::string>>
MatchingLines(const std::string &text, const char *pattern)
{
   std::vector<std::vector<std::string>> out;
   regex_t re;
   if (regcomp(&re, pattern, REG_EXTENDED) != 0) {
      ADD_FAILURE() << "bad expression " << pattern;
      return out;
   }
   size_t start = 0;
   while (start < text.size()) {
      size_t end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end;
      std::string line = text.substr(start, end - start);
      regmatch_t m[10];
      if (regexec(&re, line.c_str(), 10, m, 0) == 0) {
         std::vector<std::string> groups;
         for (const regmatch_t &g : m) {
            groups.push_back(g.rm_so < 0 ? "" : line.substr(g.rm_so, g.rm_eo - g.rm_so));
         }
         out.push_back(groups);
      }
      start = end + 1;
   }
   regfree(&re);
   return out;
}
