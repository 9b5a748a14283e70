// Message lists; see msgList.h.
#include "lib/misc/msgList.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "lib/misc/logHook.h"
#include "lib/misc/panic.h"
#include "lib/string/str.h"

namespace {

constexpr const char *MSG_LITERAL_ID = "msg.literal";

// Splits a marked text into its id and default text; false when the
// text carries no marker.
bool
MsgListSplit(const char *text, char **id, const char **rest)
{
   if (std::strncmp(text, MSG_MAGIC, MSG_MAGIC_LEN) != 0 || text[MSG_MAGIC_LEN] != '(') {
      return false;
   }
   const char *start = text + MSG_MAGIC_LEN + 1;
   const char *close = std::strchr(start, ')');
   if (close == nullptr || close == start || (size_t)(close - start) > MSG_MAX_ID) {
      NOT_IMPLEMENTED();
   }
   *id = Util_SafeStrndup(start, (size_t)(close - start));
   *rest = close + 1;
   return true;
}

}  // namespace

MsgList *
MsgList_VCreate(const char *format, va_list args)
{
   MsgList *node = static_cast<MsgList *>(Util_SafeCalloc(1, sizeof *node));
   const char *text;
   if (!MsgListSplit(format, &node->id, &text)) {
      // An unmarked text is formatted now and kept as the argument of "%s".
      char *literal = Str_Vasprintf(nullptr, format, args);
      if (literal == nullptr) {
         MEM_ALLOC_FAILED();
      }
      node->id = Util_SafeStrdup(MSG_LITERAL_ID);
      node->format = Util_SafeStrdup("%s");
      node->args = static_cast<MsgFmt_Arg *>(Util_SafeCalloc(1, sizeof(MsgFmt_Arg)));
      node->args[0].type = MSGFMT_ARG_STRING8;
      node->args[0].v.string8 = literal;
      node->numArgs = 1;
      return node;
   }
   node->format = Util_SafeStrdup(text);
   const char *error = nullptr;
   int numArgs = 0;
   if (!MsgFmt_GetArgs(node->format, args, &node->args, &numArgs, &error)) {
      LogHook_Log("%s error: %s\nformat <%s>\n", "MsgList_VAppend", error, node->format);
      PANIC();
   }
   node->numArgs = numArgs;
   return node;
}

void
MsgList_VAppend(MsgList **list, const char *format, va_list args)
{
   if (list == nullptr) {
      return;
   }
   MsgList *node = MsgList_VCreate(format, args);
   node->next = *list;
   *list = node;
}

void
MsgList_Append(MsgList **list, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   MsgList_VAppend(list, format, args);
   va_end(args);
}

MsgList *
MsgList_CopyNode(const MsgList *node)
{
   MsgList *copy = static_cast<MsgList *>(Util_SafeCalloc(1, sizeof *copy));
   copy->id = Util_SafeStrdup(node->id);
   copy->format = Util_SafeStrdup(node->format);
   copy->args = MsgFmt_CopyArgs(node->args, node->numArgs);
   copy->numArgs = node->numArgs;
   return copy;
}

char *
MsgList_FormatNode(const MsgList *node)
{
   char *text = MsgFmt_Asprintf(nullptr, node->format, node->args, node->numArgs);
   if (text == nullptr) {
      // The arguments were captured from this very format: cannot happen.
      NOT_REACHED();
   }
   return text;
}

void
MsgList_Log(const MsgList *list)
{
   for (const MsgList *m = list; m != nullptr; m = m->next) {
      char *text = MsgList_FormatNode(m);
      size_t len = std::strlen(text);
      bool endsLine = len > 0 && text[len - 1] == '\n';
      LogHook_Log("[%s] %s%s", m->id, text, endsLine ? "" : "\n");
      std::free(text);
   }
}

void
MsgList_Free(MsgList *list)
{
   while (list != nullptr) {
      MsgList *next = list->next;
      MsgFmt_FreeArgs(list->args, list->numArgs);
      std::free(list->id);
      std::free(list->format);
      std::free(list);
      list = next;
   }
}
