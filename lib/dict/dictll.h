// Line-level reading of dictionary files: splitting a byte stream into
// lines and a line into a name and a value.
//
// A line ends at a line feed, a carriage return, or a carriage return
// followed by a line feed; the last line needs no end. A leading UTF-8
// byte-order mark is skipped. Lines of any length are read whole.
#pragma once

#include <cstddef>

// Reads up to size bytes into buf: the count, 0 at the end, -1 on error
// (with errno set).
typedef long (*DictLLReadFn)(void *context, void *buf, size_t size);

struct DictLLReader;

DictLLReader *DictLL_CreateReader(DictLLReadFn read, void *context);
void DictLL_FreeReader(DictLLReader *reader);

enum DictLLStatus {
   DICTLL_LINE,
   DICTLL_EOF,
   DICTLL_READ_ERROR,  // errno tells why
};

/*
 * The next line, without its end, in a buffer of the reader that stays
 * valid (and writable) until the next call; it may hold NUL bytes.
 */
DictLLStatus DictLL_ReadLine(DictLLReader *reader, char **line, size_t *length);
// Whether the stream began with a UTF-8 byte-order mark (known once the
// first line was read).
bool DictLL_SawBOM(const DictLLReader *reader);

enum DictLLLineKind {
   DICTLL_COMMENT,        // blank, or "#" after white space
   DICTLL_VARIABLE,
   DICTLL_NUL_VALUE,      // a variable line whose value escapes a NUL byte
   DICTLL_SYNTAX_ERROR,
};

/*
 * Parses one line: "name = value # comment", the value quoted or not,
 * "|XX" standing for the byte XX. The value is unescaped in place, so
 * name and value point into line. An escape that makes a NUL byte gives
 * DICTLL_NUL_VALUE with the name set and no value: the value could not
 * be held as a text, but the line is well formed and the lines after it
 * can still be read.
 */
DictLLLineKind DictLL_ParseLine(char *line, size_t length, const char **name,
                                size_t *nameLength, const char **value,
                                size_t *valueLength);
