// User messages; see msg.h. Posts are logged and questions answered with
// their default: the collector runs without anybody at a screen.
#include "lib/user/msg.h"

#include <cstdarg>
#include <cstring>

#include "lib/log/log.h"
#include "lib/string/str.h"

namespace {

constexpr const char *MSG_SEPARATOR = "----------------------------------------\n";

// The calling thread's pending messages, oldest first.
struct MsgState {
   MsgList *head = nullptr;
   MsgList **tail = &head;
};

thread_local MsgState msgState;

const char *const msgSeverityCaptions[] = {
   MSG_MAGIC "(msg.msg.info)Information",
   MSG_MAGIC "(msg.msg.info)Information",
   MSG_MAGIC "(msg.msg.warning)Warning",
   MSG_MAGIC "(msg.msg.error)Error",
};

void
MsgAppendV(const char *format, va_list args)
{
   MsgList *node = MsgListCreateV(format, args);
   *msgState.tail = node;
   msgState.tail = &node->next;
}

// Takes the pending list off the thread.
MsgList *
MsgTake()
{
   MsgList *head = msgState.head;
   msgState.head = nullptr;
   msgState.tail = &msgState.head;
   return head;
}

void
MsgLogList(const char *caller, const char *sep, const char *caption, const MsgList *list)
{
   Log("%s:%s%s\n", caller, sep, caption);
   MsgList_Log(list);
   Log("%s", MSG_SEPARATOR);
}

}  // namespace

void
Msg_Append(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   MsgAppendV(format, args);
   va_end(args);
}

bool
Msg_Present()
{
   return msgState.head != nullptr;
}

void
Msg_Reset(bool log)
{
   MsgList *list = MsgTake();
   if (log && list != nullptr) {
      MsgLogList("Msg_Reset", "", "", list);
   }
   MsgList_Free(list);
}

void
Msg_Post(int severity, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   MsgAppendV(format, args);
   va_end(args);
   MsgList *list = MsgTake();
   int index = severity >= MSG_INFO && severity <= MSG_ERROR ? severity : MSG_ERROR;
   MsgLogList("Msg_Post", " ", Msg_StripMSGID(msgSeverityCaptions[index]), list);
   // No front end shows posts on this platform yet: the log is their record.
   MsgList_Free(list);
}

void
Msg_FatalFollows()
{
   // Nothing to prepare: posts are only logged.
}

int
Msg_Question(const char *const buttons[], int defaultAnswer, const char *format, ...)
{
   (void)buttons;
   char text[1024];
   va_list args;
   va_start(args, format);
   Str_Vsnprintf(text, sizeof text, format, args);
   va_end(args);
   Log("Msg_Question:\n%s\n---------------------------------------\n",
       Msg_StripMSGID(text));
   return defaultAnswer;
}

const char *
Msg_StripMSGID(const char *text)
{
   size_t magicLen = std::strlen(MSG_MAGIC);
   if (std::strncmp(text, MSG_MAGIC, magicLen) == 0 && text[magicLen] == '(') {
      const char *close = std::strchr(text + magicLen, ')');
      if (close != nullptr) {
         return close + 1;
      }
   }
   return text;
}
