// User messages: localisable texts shown to, and questions asked of, the
// person running the program.
//
// A thread collects messages in its pending list (Msg_Append) and shows
// them all at once (Msg_Post), or asks a question with a set of buttons
// (Msg_Question). Every post and question is also logged, and a question
// can be answered from the configuration ("answer.<message id>",
// "msg.autoAnswer") without asking anybody. Texts are localised from a
// loaded message dictionary (message id = localised text).
//
// Posts and questions reach a person through a front end: by default the
// console, which writes a post to standard error when that is a terminal
// and asks a question only when standard input and standard error are
// terminals (else the default button answers). On Windows a post is shown
// in a message box instead in a program started from the desktop (one with
// neither a console nor standard streams).
#pragma once

#include "lib/string/str.h"  // PRINTF_DECL

#include "lib/misc/msgList.h"  // MSG_MAGIC, the marked message form

struct Dictionary;

// Severities of Msg_Post.
enum MsgSeverity {
   MSG_INFO = 0,
   MSG_INFO_TIMEOUT = 1,
   MSG_WARNING = 2,
   MSG_ERROR = 3,
};

// Button sets: marked texts ended by null; "_" marks the accelerator.
extern const char *const msgOKButtons[];
extern const char *const msgRetryCancelButtons[];
extern const char *const msgOKCancelButtons[];
extern const char *const msgRetryAbortButtons[];

// Kinds of Msg_Hint.
enum MsgHintKind {
   MSG_HINT_OK = 0,         // one button: OK
   MSG_HINT_OK_CANCEL = 1,  // OK (0) and Cancel (1)
};

// The operations through which posts and questions reach a person. An
// empty slot is skipped (see Msg_Post and Msg_Question).
struct MsgFrontEnd {
   void (*post)(int severity, const char *msgID, const char *text);
   // buttons: localised texts ended by null; returns the chosen index.
   int (*question)(const char *const buttons[], int defaultAnswer, const char *msgID,
                   const char *text);
   void (*progress)(const char *caption, int percent);
   int (*hint)(int kind, const char *text);
   void (*postList)(int severity, const MsgList *messages);
   // buttons: the caller's marked texts; returns the chosen index.
   int (*questionList)(const char *const buttons[], int defaultAnswer,
                       const MsgList *messages);
};

// Replaces the process-wide front end (null: the default front end).
void Msg_SetFrontEnd(const MsgFrontEnd *frontEnd);
// Overrides, for the calling thread, every non-empty slot of frontEnd
// (null removes the overrides).
void Msg_SetThreadFrontEnd(const MsgFrontEnd *frontEnd);

// Makes dict (owned from now on; null: none) the localisation dictionary.
void Msg_SetDictionary(Dictionary *dict);
// Loads a localisation dictionary from a file; false (nothing changed)
// when it does not load.
bool Msg_LoadMessageFile(const char *path);

// Appends one message to the calling thread's pending list.
void Msg_Append(const char *format, ...) PRINTF_DECL(1, 2);
// Appends copies of a list's messages, oldest (its last node) first.
void Msg_AppendMsgList(const MsgList *list);
// Whether the calling thread's pending list holds messages.
bool Msg_Present();
// Empties the pending list; with log, logs it first when it is not empty.
void Msg_Reset(bool log);
// The pending messages, localised and formatted, one per line (free it).
char *Msg_GetMessages();
// One marked text localised and formatted (free it).
char *Msg_Format(const char *format, ...) PRINTF_DECL(1, 2);

// Appends the message and posts the whole pending list, which is empty
// afterwards.
void Msg_Post(int severity, const char *format, ...) PRINTF_DECL(2, 3);
// Tells the front end that the next post is the last word of a dying process.
void Msg_FatalFollows();

/*
 * Appends the message and asks a question with the given buttons (a
 * null-terminated list of marked texts); returns the index of the chosen
 * one, defaultAnswer when nobody can be asked.
 */
int Msg_Question(const char *const buttons[], int defaultAnswer, const char *format, ...)
   PRINTF_DECL(3, 4);

// Shows progress: a negative percentage sets the caption.
void Msg_Progress(const char *caption, int percent);
// Appends the message and shows it as a hint; 0 for OK, 1 for Cancel.
int Msg_Hint(int kind, const char *format, ...) PRINTF_DECL(2, 3);

// The English text of a marked message (the text after the id).
const char *Msg_StripMSGID(const char *text);

// For tests: the console front end reads inFd and writes outFd as if
// they were terminals (-1, -1: the real standard streams).
void Msg_SetConsoleForTest(int inFd, int outFd);
