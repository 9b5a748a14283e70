// Message lists; see msgList.h.
#include "lib/misc/msgList.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "lib/log/log.h"
#include "lib/misc/panic.h"
#include "lib/string/str.h"

namespace {

const char MARKER[] = "@&!*@*@(";

}  // namespace

void
MsgList_Append(MsgList **list, const char *format, ...)
{
   if (list == nullptr) {
      return;
   }
   const char *id = "msg.literal";
   size_t idLen = std::strlen(id);
   const char *text = format;
   size_t markerLen = sizeof MARKER - 1;
   if (std::strncmp(format, MARKER, markerLen) == 0) {
      const char *close = std::strchr(format + markerLen, ')');
      if (close != nullptr) {
         id = format + markerLen;
         idLen = (size_t)(close - id);
         text = close + 1;
      }
   }
   va_list args;
   va_start(args, format);
   char *formatted = Str_Vasprintf(nullptr, text, args);
   va_end(args);
   if (formatted == nullptr) {
      return;
   }
   MsgList *node = static_cast<MsgList *>(Util_SafeCalloc(1, sizeof *node));
   node->id = Util_SafeStrndup(id, idLen);
   node->format = formatted;
   node->next = *list;
   *list = node;
}

void
MsgList_Log(const MsgList *list)
{
   for (const MsgList *m = list; m != nullptr; m = m->next) {
      size_t len = std::strlen(m->format);
      bool endsLine = len > 0 && m->format[len - 1] == '\n';
      Log("[%s] %s%s", m->id, m->format, endsLine ? "" : "\n");
   }
}

void
MsgList_Free(MsgList *list)
{
   while (list != nullptr) {
      MsgList *next = list->next;
      for (int32_t i = 0; i < list->numArgs; i++) {
         std::free(list->args[i]);
      }
      std::free(list->args);
      std::free(list->id);
      std::free(list->format);
      std::free(list);
      list = next;
   }
}
