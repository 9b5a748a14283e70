// Platform layer of the console front end of user messages.
#pragma once

#include <cstddef>

int MsgPlat_StdinFd();
int MsgPlat_StdoutFd();
int MsgPlat_StderrFd();
bool MsgPlat_IsTerminal(int fd);
// Writes all of text; false on failure.
bool MsgPlat_Write(int fd, const char *text, size_t length);
// Reads one byte: 1, 0 at the end, -1 on failure.
int MsgPlat_ReadByte(int fd, char *byte);
