// Message lists: localisable messages collected by a library operation
// for its caller (log start-up, lock files), newest first.
//
// A message is written as "@&!*@*@(id)default text"; a text without the
// marker is stored as the message "msg.literal". This list keeps each
// message's text as it was formatted when appended.
#pragma once

#include <cstdint>

struct MsgList {
   MsgList *next;
   char *id;
   char *format;  // the formatted default text
   char **args;
   int32_t numArgs;
};

// Puts one message at the front of *list; a null list stores nothing.
void MsgList_Append(MsgList **list, const char *format, ...);
// Logs each message, from the head on, as "[id] text".
void MsgList_Log(const MsgList *list);
void MsgList_Free(MsgList *list);
