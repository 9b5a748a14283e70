// User messages: localisable texts shown to, and questions asked of, the
// person running the program.
//
// A thread collects messages in its pending list (Msg_Append) and shows
// them all at once (Msg_Post). Every post and question is also logged.
#pragma once

#include "lib/user/msgList.h"  // MSG_MAGIC, the marked message form

// Severities of Msg_Post.
enum MsgSeverity {
   MSG_INFO = 0,
   MSG_INFO_TIMEOUT = 1,
   MSG_WARNING = 2,
   MSG_ERROR = 3,
};

// Appends one message to the calling thread's pending list.
void Msg_Append(const char *format, ...);
// Whether the calling thread's pending list holds messages.
bool Msg_Present();
// Empties the pending list; with log, logs it first when it is not empty.
void Msg_Reset(bool log);

/*
 * Appends the message and posts the whole pending list, which is empty
 * afterwards. Nothing is shown yet: the program runs without anybody at
 * a screen, so the post is only logged.
 */
void Msg_Post(int severity, const char *format, ...);

// Tells the front end that the next post is the last word of a dying process.
void Msg_FatalFollows();

/*
 * Asks a question with the given buttons (a null-terminated list of
 * marked texts) and returns the index of the chosen one. A process with
 * nobody to ask answers with defaultAnswer.
 */
int Msg_Question(const char *const buttons[], int defaultAnswer,
                 const char *format, ...);

// The English text of a marked message (the text after the id).
const char *Msg_StripMSGID(const char *text);
