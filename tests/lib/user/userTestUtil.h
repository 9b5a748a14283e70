// Helpers of the dictionary and message tests: a log file to read back
// and the text of a message list.
#pragma once

#include <string>

#include "lib/coreDump/fatalPath.h"
#include "lib/log/log.h"
#include "lib/misc/msgList.h"
#include "tests/support/testFiles.h"

namespace usertest {

// The log of the test process, in a file of its own.
class LogFile {
public:
   // With echo, lines are also written to standard error.
   explicit LogFile(const std::string &path, bool echo = false) : path_(path)
   {
      Log_Exit();
      LogParams params;
      Log_ParamsDefaults(&params);
      params.fileName = path_.c_str();
      params.append = true;
      params.carryOver = false;
      params.stderrMinLevel = echo ? 145 : -1;
      params.throttleBytesPerSec = LOG_NO_BPS_LIMIT;
      Log_Init(&params);
      CoreDump_InstallPanicHandler();
   }
   ~LogFile() { Log_Exit(); }
   std::string Text() const { return testutil::ReadFile(path_); }
   bool Has(const std::string &needle) const { return Text().find(needle) != std::string::npos; }
   size_t Count(const std::string &needle) const
   {
      std::string t = Text();
      size_t n = 0;
      for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) {
         n++;
      }
      return n;
   }

private:
   std::string path_;
};

// "[id]text" of every message of a list, head first.
inline std::string
Messages(const MsgList *list)
{
   std::string out;
   for (const MsgList *m = list; m != nullptr; m = m->next) {
      char *t = MsgList_FormatNode(m);
      out += std::string("[") + m->id + "]" + t;
      std::free(t);
   }
   return out;
}

}  // namespace usertest
