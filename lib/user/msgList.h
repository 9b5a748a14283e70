// Message lists: localisable messages collected by a library operation
// for its caller (log start-up, lock files), newest first.
//
// A message is written as "@&!*@*@(id)default text"; a text without the
// marker is stored as the message "msg.literal". This list keeps each
// message's text as it was formatted when appended.
#pragma once

#include <cstdarg>
#include <cstdint>

// A localisable text: this marker, "(", the message id, ")" and the
// English default text.
#define MSG_MAGIC "@&!*@*@"

struct MsgList {
   MsgList *next;
   char *id;
   char *format;  // the formatted default text
   char **args;
   int32_t numArgs;
};

/*
 * One message, not yet in a list: the formatted text split into id and
 * text. A marked text whose id is missing, empty or longer than 127
 * characters is a fault of the caller and stops the process.
 */
MsgList *MsgListCreateV(const char *format, va_list args);
// Puts one message at the front of *list; a null list stores nothing.
void MsgList_Append(MsgList **list, const char *format, ...);
// Logs each message, from the head on, as "[id] text".
void MsgList_Log(const MsgList *list);
void MsgList_Free(MsgList *list);
