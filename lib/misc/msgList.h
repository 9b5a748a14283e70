// Message lists: localisable messages collected by a library operation
// for its caller (log start-up, lock files), newest first.
//
// A message is written as "@&!*@*@(id)default text"; a text without the
// marker is stored as the message "@&!*@*@(msg.literal)%s" with the
// formatted text as its argument. A node keeps the default text with its
// conversions and the arguments captured by type, so that it can be
// formatted later, localised and in another argument order.
#pragma once

#include "lib/string/str.h"  // PRINTF_DECL

#include <cstdarg>
#include <cstdint>

#include "lib/misc/msgFmt.h"

// A localisable text: this marker, "(", the message id, ")" and the
// English default text.
#define MSG_MAGIC "@&!*@*@"
#define MSG_MAGIC_LEN 7
// Longest message id, in bytes.
constexpr size_t MSG_MAX_ID = 127;

struct MsgList {
   MsgList *next;
   char *id;
   char *format;       // the default text, conversions and all
   MsgFmt_Arg *args;   // one per argument position of format
   int32_t numArgs;
};

/*
 * One message, not yet in a list. A marked text whose id is missing,
 * empty or longer than MSG_MAX_ID stops the process, and so does a format
 * that the message-format parser rejects.
 */
MsgList *MsgList_VCreate(const char *format, va_list args) PRINTF_DECL(1, 0);
// Puts one message at the front of *list; a null list stores nothing.
void MsgList_Append(MsgList **list, const char *format, ...) PRINTF_DECL(2, 3);
void MsgList_VAppend(MsgList **list, const char *format, va_list args) PRINTF_DECL(2, 0);
// A deep copy of one node (its next link is null).
MsgList *MsgList_CopyNode(const MsgList *node);
// The node's default text formatted with its arguments (free it).
char *MsgList_FormatNode(const MsgList *node);
// Logs each message, from the head on, as "[id] text".
void MsgList_Log(const MsgList *list);
void MsgList_Free(MsgList *list);
