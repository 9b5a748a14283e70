// User messages; see msg.h. Posts are logged and questions answered with
// their default: the collector runs without anybody at a screen.
#include "lib/user/msg.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "lib/log/log.h"
#include "lib/misc/panic.h"
#include "lib/string/str.h"

namespace {

constexpr const char *MSG_SEPARATOR = "----------------------------------------\n";
constexpr size_t MSG_MAX_ID = 127;

// One pending message: its id and its text, formatted when appended.
struct MsgPending {
   MsgPending *next;
   char *id;
   char *text;
};

// The calling thread's pending messages, oldest first.
struct MsgState {
   MsgPending *head = nullptr;
   MsgPending **tail = &head;
};

thread_local MsgState msgState;

const char *const msgSeverityCaptions[] = {
   MSG_MAGIC "(msg.msg.info)Information",
   MSG_MAGIC "(msg.msg.info)Information",
   MSG_MAGIC "(msg.msg.warning)Warning",
   MSG_MAGIC "(msg.msg.error)Error",
};

/*
 * Splits a formatted message into id and text; a text without the marker
 * is the literal message. A marked text whose id is empty or too long
 * cannot be looked up: that is a fault of the caller.
 */
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

void
MsgAppendV(const char *format, va_list args)
{
   char *message = Str_Vasprintf(nullptr, format, args);
   if (message == nullptr) {
      MEM_ALLOC_FAILED();
   }
   MsgPending *node = static_cast<MsgPending *>(Util_SafeCalloc(1, sizeof(MsgPending)));
   MsgSplit(message, &node->id, &node->text);
   std::free(message);
   *msgState.tail = node;
   msgState.tail = &node->next;
}

// Takes the pending list off the thread.
MsgPending *
MsgTake()
{
   MsgPending *head = msgState.head;
   msgState.head = nullptr;
   msgState.tail = &msgState.head;
   return head;
}

void
MsgLogList(const char *caller, const char *sep, const char *caption, const MsgPending *list)
{
   Log("%s:%s%s\n", caller, sep, caption);
   for (const MsgPending *m = list; m != nullptr; m = m->next) {
      size_t len = std::strlen(m->text);
      Log("[%s] %s%s", m->id, m->text, len > 0 && m->text[len - 1] == '\n' ? "" : "\n");
   }
   Log("%s", MSG_SEPARATOR);
}

void
MsgFreeList(MsgPending *list)
{
   while (list != nullptr) {
      MsgPending *next = list->next;
      std::free(list->id);
      std::free(list->text);
      std::free(list);
      list = next;
   }
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
   MsgPending *list = MsgTake();
   if (log && list != nullptr) {
      MsgLogList("Msg_Reset", "", "", list);
   }
   MsgFreeList(list);
}

void
Msg_Post(int severity, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   MsgAppendV(format, args);
   va_end(args);
   MsgPending *list = MsgTake();
   int index = severity >= MSG_INFO && severity <= MSG_ERROR ? severity : MSG_ERROR;
   MsgLogList("Msg_Post", " ", Msg_StripMSGID(msgSeverityCaptions[index]), list);
   // No front end shows posts on this platform yet: the log is their record.
   MsgFreeList(list);
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
