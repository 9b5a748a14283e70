// Helpers of the dictionary and message tests: the text of a message
// list.
#pragma once

#include <cstdlib>
#include <string>

#include "lib/misc/msgList.h"

namespace usertest {

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
