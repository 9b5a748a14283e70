// User messages: the pending lists of the threads, localisation and the
// hand-over to the front end; see msg.h. The console front end is
// msgConsole.cpp.
#include "lib/user/msg.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/file/fileIO.h"
#include "lib/lock/ul.h"
#include "lib/misc/preferenceLookup.h"
#include "lib/log/log.h"
#include "lib/misc/panic.h"
#include "lib/misc/vthreadBase.h"
#include "lib/user/dictionary.h"
#include "lib/user/msgInt.h"
#include "lib/user/msgPlatform.h"

const char *const msgOKButtons[] = {MSG_MAGIC "(button.ok)OK", nullptr};
const char *const msgRetryCancelButtons[] = {MSG_MAGIC "(button.retry)_Retry",
                                             MSG_MAGIC "(button.cancel)Cancel", nullptr};
const char *const msgOKCancelButtons[] = {MSG_MAGIC "(button.ok)OK",
                                          MSG_MAGIC "(button.cancel)Cancel", nullptr};
const char *const msgRetryAbortButtons[] = {MSG_MAGIC "(button.retry)_Retry",
                                            MSG_MAGIC "(button.abort)Cancel", nullptr};

namespace {

const char *const msgSeverityCaptions[] = {
   MSG_MAGIC "(msg.msg.info)Information",
   MSG_MAGIC "(msg.msg.info)Information",
   MSG_MAGIC "(msg.msg.warning)Warning",
   MSG_MAGIC "(msg.msg.error)Error",
};

constexpr const char *MSG_SEPARATOR = "----------------------------------------\n";
constexpr MXRank MSG_LOCK_RANK = 0xfeffffff;
constexpr size_t MSG_TABLE_BUCKETS = 128;
constexpr int MSG_MAX_OFFERED_BUTTONS = 9;

// One thread's pending messages and front-end overrides.
struct MsgState {
   MsgState *next;      // in its bucket
   uint32_t threadID;   // the bucket's key
   MsgList *head;       // oldest first
   MsgList **tail;
   MsgFrontEnd overrides;
};

// The process-wide state: the pending lists of the threads, the front end
// and the localisation dictionary; all under msgLock.
struct MsgTable {
   MsgState *buckets[MSG_TABLE_BUCKETS];
   MsgFrontEnd frontEnd;
   Dictionary *dict;
};

std::atomic<MXUserExclLock *> msgLockSlot{nullptr};
std::atomic<MsgTable *> msgTableSlot{nullptr};

MXUserExclLock *
MsgLock()
{
   MXUserExclLock *lock =
      MXUser_CreateSingletonExclLock(&msgLockSlot, "msgLock", MSG_LOCK_RANK);
   if (lock == nullptr) {
      MEM_ALLOC_FAILED();
   }
   return lock;
}

MsgTable *
MsgGetTable()
{
   MsgTable *table = msgTableSlot.load(std::memory_order_acquire);
   if (table != nullptr) {
      return table;
   }
   MsgTable *fresh = static_cast<MsgTable *>(std::calloc(1, sizeof(MsgTable)));
   if (fresh == nullptr) {
      MEM_ALLOC_FAILED();
   }
   fresh->frontEnd = *MsgPlat_DefaultFrontEnd();
   if (msgTableSlot.compare_exchange_strong(table, fresh, std::memory_order_acq_rel)) {
      return fresh;
   }
   std::free(fresh);
   return table;
}

// The message table, with msgLock held for the scope.
struct MsgLocked {
   MsgTable *table = MsgGetTable();
   MXUserExclHeld held{MsgLock()};
};

/*
 * The calling thread's state. A plain pointer, so that it stays usable
 * while the thread's other thread-local objects are destroyed (their
 * destructors may append messages); the state is freed by the platform's
 * thread-exit hook, which runs after all of them. A later thread starts
 * with null here wherever its thread-local block lies.
 */
thread_local MsgState *msgThreadState = nullptr;

size_t
MsgBucket(uint32_t threadID)
{
   return threadID % MSG_TABLE_BUCKETS;
}

// Runs on an ending thread: drops its state and the messages left in it.
void
MsgThreadGone(void *state)
{
   MsgState *gone = static_cast<MsgState *>(state);
   MsgList *list = nullptr;
   {
      MsgLocked locked;
      MsgState **link = &locked.table->buckets[MsgBucket(gone->threadID)];
      while (*link != nullptr && *link != gone) {
         link = &(*link)->next;
      }
      if (*link != nullptr) {
         *link = gone->next;
         list = gone->head;
         std::free(gone);
      }
   }
   if (msgThreadState == gone) {
      msgThreadState = nullptr;  // a message appended from here on gets a new state
   }
   MsgList_Free(list);
}

// The calling thread's state, under msgLock; created when create is set.
MsgState *
MsgFindState(MsgTable *table, bool create)
{
   MsgState *s = msgThreadState;
   if (s != nullptr || !create) {
      return s;
   }
   s = static_cast<MsgState *>(Util_SafeCalloc(1, sizeof *s));
   s->threadID = VThread_CurID();
   s->tail = &s->head;
   MsgState **bucket = &table->buckets[MsgBucket(s->threadID)];
   s->next = *bucket;
   *bucket = s;
   msgThreadState = s;
   // Without the hook the state outlives the thread: a leak, nothing worse.
   MsgPlat_SetThreadExitValue(MsgThreadGone, s);
   return s;
}

// The calling thread's front end: its overrides over the process's record.
MsgFrontEnd
MsgEffectiveFrontEnd()
{
   MsgLocked locked;
   MsgFrontEnd fe = locked.table->frontEnd;
   MsgState *s = MsgFindState(locked.table, false);
   if (s != nullptr) {
      const MsgFrontEnd &o = s->overrides;
      if (o.post) fe.post = o.post;
      if (o.question) fe.question = o.question;
      if (o.progress) fe.progress = o.progress;
      if (o.hint) fe.hint = o.hint;
      if (o.postList) fe.postList = o.postList;
      if (o.questionList) fe.questionList = o.questionList;
   }
   return fe;
}

void
MsgAppendNode(MsgList *node)
{
   MsgLocked locked;
   MsgState *s = MsgFindState(locked.table, true);
   *s->tail = node;
   s->tail = &node->next;
}

// Takes the pending list off the thread, oldest first.
MsgList *
MsgTake()
{
   MsgLocked locked;
   MsgState *s = MsgFindState(locked.table, false);
   if (s == nullptr) {
      return nullptr;
   }
   MsgList *head = s->head;
   s->head = nullptr;
   s->tail = &s->head;
   return head;
}

const MsgList *
MsgLast(const MsgList *list)
{
   while (list != nullptr && list->next != nullptr) {
      list = list->next;
   }
   return list;
}

// The text of a message id from the localisation dictionary, if any.
bool
MsgLookup(const char *id, std::string *text)
{
   MsgLocked locked;
   Dictionary *dict = locked.table->dict;
   if (dict == nullptr || !Dictionary_IsDefined(dict, id)) {
      return false;
   }
   const char *v = Dictionary_GetString(dict, nullptr, id, nullptr);
   if (v == nullptr) {
      return false;
   }
   *text = v;
   return true;
}

// A message localised and formatted (free it). A localised text that
// does not fit the captured arguments gives way to the default text.
char *
MsgFormatNode(const MsgList *m)
{
   std::string localized;
   if (MsgLookup(m->id, &localized)) {
      char *text = MsgFmt_Asprintf(nullptr, localized.c_str(), m->args, m->numArgs);
      if (text != nullptr) {
         return text;
      }
   }
   return MsgList_FormatNode(m);
}

// Every message localised, one per line.
std::string
MsgListText(const MsgList *list)
{
   std::string out;
   for (const MsgList *m = list; m != nullptr; m = m->next) {
      char *text = MsgFormatNode(m);
      size_t len = std::strlen(text);
      out.append(text, len);
      if (len == 0 || text[len - 1] != '\n') {
         out += '\n';  // an empty message still has its line
      }
      std::free(text);
   }
   return out;
}

void
MsgLogList(const char *caller, const char *sep, const char *caption, const MsgList *list)
{
   Log("%s:%s%s\n", caller, sep, caption);
   MsgList_Log(list);
   Log("%s", MSG_SEPARATOR);
}

// A pre-set answer from the configuration, if any.
bool
MsgIsAnswered(const char *const buttons[], int defaultAnswer, const char *msgID, int *reply)
{
   char *configured = Config_GetString(nullptr, "answer.%s", msgID);
   if (configured != nullptr) {
      std::string wanted = MsgStripUnderscores(configured);
      for (int i = 0; buttons[i] != nullptr; i++) {
         std::string label = MsgStripUnderscores(Msg_StripMSGID(buttons[i]));
         if (strcasecmp(wanted.c_str(), label.c_str()) == 0) {
            Log("%s: Using config default '%s' as the answer for '%s'\n", "MsgIsAnswered",
                configured, msgID);
            std::free(configured);
            *reply = i;
            return true;
         }
      }
      std::free(configured);
   }
   if (Preference_GetBool(false, "msg.autoAnswer")) {
      int n = MsgCountButtons(buttons);
      std::string label = defaultAnswer >= 0 && defaultAnswer < n
                             ? MsgLocalize(buttons[defaultAnswer]) : std::string();
      Log("%s: Using builtin default '%s' as the answer for '%s'\n", "MsgIsAnswered",
          label.c_str(), msgID);
      *reply = defaultAnswer;
      return true;
   }
   return false;
}

char *
MsgVFormat(const char *format, va_list args)
{
   MsgList *node = MsgList_VCreate(format, args);
   char *text = MsgFormatNode(node);
   MsgList_Free(node);
   return text;
}

// Posts the thread's pending list (Msg_Post after the append).
void
MsgPostPending(int severity)
{
   MsgList *list = MsgTake();
   std::string caption = MsgSeverityCaption(severity);
   MsgLogList("Msg_Post", " ", caption.c_str(), list);
   const char *msgID = MsgLast(list)->id;
   int reply;
   if (MsgIsAnswered(msgOKButtons, 0, msgID, &reply)) {
      MsgList_Free(list);
      return;
   }
   std::string text = MsgListText(list);
   if (severity != MSG_ERROR && Preference_GetBool(false, "msg.noOK")) {
      if (!Preference_GetBool(false, "msg.noOKnoWarning")) {
         Warning("MSG: %s\n", text.c_str());
      }
      MsgList_Free(list);
      return;
   }
   MsgFrontEnd fe = MsgEffectiveFrontEnd();
   if (fe.postList != nullptr) {
      fe.postList(severity, list);
   }
   if (fe.post != nullptr) {
      fe.post(severity, msgID, text.c_str());
   }
   MsgList_Free(list);
}

void
MsgLogInvalidReply(int reply, int limit)
{
   Log("%s: Invalid reply: %u (max = %u). Reposting question.\n", "MsgQuestion",
       (unsigned)reply, (unsigned)(limit - 1));
}

/*
 * Asks through the question slot, at most twice, with at most nine of the
 * buttons localised; *offered is set to how many were offered. The reply
 * may still be invalid.
 */
int
MsgAskQuestionSlot(const MsgFrontEnd &fe, const char *const buttons[], int defaultAnswer,
                   const char *msgID, const MsgList *list, int *offered)
{
   int n = MsgCountButtons(buttons);
   *offered = n < MSG_MAX_OFFERED_BUTTONS ? n : MSG_MAX_OFFERED_BUTTONS;
   std::vector<std::string> labels;
   for (int i = 0; i < *offered; i++) {
      labels.push_back(MsgLocalize(buttons[i]));
   }
   std::vector<const char *> localized;
   for (const std::string &l : labels) {
      localized.push_back(l.c_str());
   }
   localized.push_back(nullptr);
   std::string text = MsgListText(list);
   int reply = defaultAnswer;
   for (int attempt = 0; attempt < 2; attempt++) {
      reply = fe.question(localized.data(), defaultAnswer, msgID, text.c_str());
      if ((unsigned)reply < (unsigned)*offered) {
         break;
      }
      if (attempt == 0) {
         MsgLogInvalidReply(reply, *offered);
      }
   }
   return reply;
}

// Asks the thread's pending list (Msg_Question after the append).
int
MsgQuestionPending(const char *const buttons[], int defaultAnswer)
{
   MsgList *list = MsgTake();
   MsgLogList("Msg_Question", "", "", list);
   const char *msgID = MsgLast(list)->id;
   int n = MsgCountButtons(buttons);
   int limit = n;  // replies at or above it name no button that was offered
   int reply = defaultAnswer;
   if (!MsgIsAnswered(buttons, defaultAnswer, msgID, &reply)) {
      MsgFrontEnd fe = MsgEffectiveFrontEnd();
      reply = defaultAnswer;
      if (fe.question != nullptr) {
         reply = MsgAskQuestionSlot(fe, buttons, defaultAnswer, msgID, list, &limit);
      }
      if (fe.questionList != nullptr) {
         limit = n;
         for (int attempt = 0; attempt < 2; attempt++) {
            reply = fe.questionList(buttons, defaultAnswer, list);
            if ((unsigned)reply < (unsigned)n) {
               Log("%s: %s reply=%d\n", "MsgQuestion", msgID, reply);
               MsgList_Free(list);
               return reply;
            }
            if (attempt == 0) {
               MsgLogInvalidReply(reply, n);
            }
         }
      }
   }
   if ((unsigned)reply >= (unsigned)limit) {
      Log("%s: Invalid reply: %u (max = %u).  Using default value.\n", "MsgQuestion",
          (unsigned)reply, (unsigned)(limit - 1));
      reply = defaultAnswer;
   }
   Log("%s: %s reply=%d\n", "MsgQuestion", msgID, reply);
   MsgList_Free(list);
   return reply;
}

// Shows the thread's pending list as a hint (Msg_Hint after the append).
int
MsgHintPending(int kind)
{
   MsgList *list = MsgTake();
   MsgLogList("Msg_Hint", "", "", list);
   std::string text = MsgListText(list);
   MsgList_Free(list);
   MsgFrontEnd fe = MsgEffectiveFrontEnd();
   int giveUp = kind == MSG_HINT_OK ? 0 : 1;
   return fe.hint != nullptr ? fe.hint(kind, text.c_str()) : giveUp;
}

}  // namespace

/* ---------------------------------------------------------------------
 * Shared with the console front end (msgInt.h).
 */

// A marked text without arguments, localised.
std::string
MsgLocalize(const char *marked)
{
   if (std::strncmp(marked, MSG_MAGIC, MSG_MAGIC_LEN) != 0 || marked[MSG_MAGIC_LEN] != '(') {
      return marked;
   }
   const char *start = marked + MSG_MAGIC_LEN + 1;
   const char *close = std::strchr(start, ')');
   if (close == nullptr || close == start || (size_t)(close - start) > MSG_MAX_ID) {
      NOT_IMPLEMENTED();
   }
   std::string localized;
   if (MsgLookup(std::string(start, close).c_str(), &localized)) {
      return localized;
   }
   return close + 1;
}

std::string
MsgStripUnderscores(const char *text)
{
   std::string out;
   for (const char *p = text; *p != '\0'; p++) {
      if (*p != '_') {
         out += *p;
      }
   }
   return out;
}

int
MsgCountButtons(const char *const buttons[])
{
   int n = 0;
   while (buttons != nullptr && buttons[n] != nullptr) {
      n++;
   }
   return n;
}

std::string
MsgSeverityCaption(int severity)
{
   int index = severity >= MSG_INFO && severity <= MSG_ERROR ? severity : MSG_ERROR;
   return MsgLocalize(msgSeverityCaptions[index]);
}

void
Msg_SetFrontEnd(const MsgFrontEnd *frontEnd)
{
   MsgLocked locked;
   locked.table->frontEnd = frontEnd != nullptr ? *frontEnd : *MsgPlat_DefaultFrontEnd();
}

void
Msg_SetThreadFrontEnd(const MsgFrontEnd *frontEnd)
{
   MsgLocked locked;
   MsgState *s = MsgFindState(locked.table, frontEnd != nullptr);
   if (s != nullptr) {
      s->overrides = frontEnd != nullptr ? *frontEnd : MsgFrontEnd{};
   }
}

void
Msg_SetDictionary(Dictionary *dict)
{
   Dictionary *old;
   {
      MsgLocked locked;
      old = locked.table->dict;
      locked.table->dict = dict;
   }
   Dictionary_Free(old);
}

bool
Msg_LoadMessageFile(const char *path)
{
   Dictionary *dict = Dictionary_Create();
   MsgList *messages = nullptr;
   bool ok = Dictionary_Load(dict, path, true, "UTF-8", &messages);
   if (!ok) {
      MsgList_Log(messages);
      Dictionary_Free(dict);
   } else {
      Msg_SetDictionary(dict);
   }
   MsgList_Free(messages);
   return ok;
}

void
Msg_Append(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   MsgList *node = MsgList_VCreate(format, args);
   va_end(args);
   MsgAppendNode(node);
}

void
Msg_AppendMsgList(const MsgList *list)
{
   MEM_ALLOC_GUARD([&] {
      std::vector<const MsgList *> nodes;
      for (const MsgList *m = list; m != nullptr; m = m->next) {
         nodes.push_back(m);
      }
      for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
         MsgAppendNode(MsgList_CopyNode(*it));
      }
   });
}

bool
Msg_Present()
{
   MsgLocked locked;
   MsgState *s = MsgFindState(locked.table, false);
   return s != nullptr && s->head != nullptr;
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

char *
Msg_GetMessages()
{
   // A copy, so that localising (which takes the lock) runs outside it.
   MsgList *copy = nullptr;
   MsgList **tail = &copy;
   {
      MsgLocked locked;
      MsgState *s = MsgFindState(locked.table, false);
      for (const MsgList *m = s != nullptr ? s->head : nullptr; m != nullptr; m = m->next) {
         *tail = MsgList_CopyNode(m);
         tail = &(*tail)->next;
      }
   }
   char *text = MEM_ALLOC_GUARD([&] { return Util_SafeStrdup(MsgListText(copy).c_str()); });
   MsgList_Free(copy);
   return text;
}

char *
Msg_Format(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   char *text = MEM_ALLOC_GUARD([&] { return MsgVFormat(format, args); });
   va_end(args);
   return text;
}

void
Msg_Post(int severity, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   MsgList *node = MsgList_VCreate(format, args);
   va_end(args);
   MsgAppendNode(node);
   MEM_ALLOC_GUARD([&] { MsgPostPending(severity); });
}

void
Msg_FatalFollows()
{
   // Nothing to prepare: the console front end writes at once.
}

int
Msg_Question(const char *const buttons[], int defaultAnswer, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   MsgList *node = MsgList_VCreate(format, args);
   va_end(args);
   MsgAppendNode(node);
   return MEM_ALLOC_GUARD([&] { return MsgQuestionPending(buttons, defaultAnswer); });
}

void
Msg_Progress(const char *caption, int percent)
{
   MsgFrontEnd fe = MsgEffectiveFrontEnd();
   if (fe.progress != nullptr) {
      MEM_ALLOC_GUARD([&] { fe.progress(caption, percent); });
   }
}

int
Msg_Hint(int kind, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   MsgList *node = MsgList_VCreate(format, args);
   va_end(args);
   MsgAppendNode(node);
   return MEM_ALLOC_GUARD([&] { return MsgHintPending(kind); });
}

const char *
Msg_StripMSGID(const char *text)
{
   if (std::strncmp(text, MSG_MAGIC, MSG_MAGIC_LEN) == 0 && text[MSG_MAGIC_LEN] == '(') {
      const char *close = std::strchr(text + MSG_MAGIC_LEN, ')');
      if (close != nullptr) {
         return close + 1;
      }
   }
   return text;
}

namespace {

int
MsgAskFileQuestion(const char *const buttons[], int defaultAnswer, const char *question,
                   const char *path)
{
   return Msg_Question(buttons, defaultAnswer, question, path);
}

// The file library asks its questions (an existing file in the way) through
// this library, from the moment it is loaded.
[[maybe_unused]] const bool msgFileQuestionInstalled =
   (FileIO_SetQuestionHandler(MsgAskFileQuestion), true);

}  // namespace
