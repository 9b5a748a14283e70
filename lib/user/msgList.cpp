// Message lists; see msgList.h.
#include "lib/user/msgList.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "lib/log/log.h"
#include "lib/misc/panic.h"
#include "lib/string/str.h"

namespace {

constexpr size_t MSG_MAX_ID = 127;

// Splits a formatted message into its id and text (msg.literal when the
// marker is missing).
void
MsgSplit(const char *message, char **id, char **text)
{
   size_t magicLen = std::strlen(MSG_MAGIC);
   if (std::strncmp(message, MSG_MAGIC, magicLen) != 0 || message[magicLen] != '(') {
      *id = Util_SafeStrdup("msg.literal");
      *text = Util_SafeStrdup(message);
      return;
   }
   const char *start = message + magicLen + 1;
   const char *close = std::strchr(start, ')');
   if (close == nullptr || close == start || (size_t)(close - start) > MSG_MAX_ID) {
      NOT_IMPLEMENTED();
   }
   *id = Util_SafeStrndup(start, (size_t)(close - start));
   *text = Util_SafeStrdup(close + 1);
}

}  // namespace

MsgList *
MsgListCreateV(const char *format, va_list args)
{
   char *message = Str_Vasprintf(nullptr, format, args);
   if (message == nullptr) {
      MEM_ALLOC_FAILED();
   }
   MsgList *node = static_cast<MsgList *>(Util_SafeCalloc(1, sizeof *node));
   MsgSplit(message, &node->id, &node->format);
   std::free(message);
   return node;
}

void
MsgList_Append(MsgList **list, const char *format, ...)
{
   if (list == nullptr) {
      return;
   }
   va_list args;
   va_start(args, format);
   MsgList *node = MsgListCreateV(format, args);
   va_end(args);
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
