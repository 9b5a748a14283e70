// Dictionaries: named variables read from a line-oriented text file
// ("name = value # comment"), kept with the file's lines in their order.
//
// Names compare ignoring ASCII case. A variable read from a file is text
// until it is first asked for with a type; it is then converted once and
// keeps that type, falling back to the caller's default (with a message)
// when the text does not convert. Values are held as UTF-8 whatever the
// encoding of the file. Nothing here writes files.
#pragma once

#include <cstdint>

struct MsgList;
struct Dictionary;

// Value types.
enum DictionaryType {
   DICT_ANY = 0,       // text as read
   DICT_STRING = 1,
   DICT_BOOL = 2,
   DICT_LONG = 3,      // int32
   DICT_DOUBLE = 4,
   DICT_TRISTATE = 5,  // 1 true, 0 false, -1 default
   DICT_INT64 = 6,
};

Dictionary *Dictionary_Create();
void Dictionary_Free(Dictionary *dict);  // null is ignored

/*
 * Reads the file at path ("-": standard input, "<stdin>" in messages)
 * into dict, emptying it first when clear is set. defaultEncoding (null:
 * the host's) applies when the file names no encoding. Reports go to
 * *messages (may be null). True when every line parsed, no name was
 * defined twice and the encoding was settled; entries read before a
 * failure stay.
 */
bool Dictionary_Load(Dictionary *dict, const char *path, bool clear,
                     const char *defaultEncoding, MsgList **messages);

bool Dictionary_IsDefined(Dictionary *dict, const char *name);

/*
 * The value of name in the given type, the entry being created from the
 * default when there is none. defaultValue points to a bool, int
 * (tristate), int32_t, double or int64_t; for DICT_STRING and DICT_ANY it
 * is the text itself (may be null), and so is the result. The result
 * points into the dictionary and stays valid while the entry exists. An
 * entry that already holds another type answers the default. Conversion
 * failures are reported to *messages (may be null).
 */
const void *Dictionary_Get(Dictionary *dict, const void *defaultValue, int type,
                           const char *name, MsgList **messages);

bool Dictionary_GetBool(Dictionary *dict, bool defaultValue, const char *name,
                        MsgList **messages);
int Dictionary_GetTriState(Dictionary *dict, int defaultValue, const char *name,
                           MsgList **messages);
int32_t Dictionary_GetLong(Dictionary *dict, int32_t defaultValue, const char *name,
                           MsgList **messages);
int64_t Dictionary_GetInt64(Dictionary *dict, int64_t defaultValue, const char *name,
                            MsgList **messages);
double Dictionary_GetDouble(Dictionary *dict, double defaultValue, const char *name,
                            MsgList **messages);
const char *Dictionary_GetString(Dictionary *dict, const char *defaultValue,
                                 const char *name, MsgList **messages);

// Inserts a comment line at the head of the lines.
void Dictionary_InsertComment(Dictionary *dict, const char *text);
// Number of lines, and the text of a comment or kept line (null for a
// variable's line).
int Dictionary_NumLines(const Dictionary *dict);
const char *Dictionary_LineText(const Dictionary *dict, int index);
// The encoding the values were read in, or null while unset.
const char *Dictionary_GetEncoding(const Dictionary *dict);

// The host's current character encoding (from the environment's locale).
const char *Dictionary_HostEncoding();
