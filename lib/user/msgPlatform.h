// Platform layer of user messages: the console front end's streams, the
// thread-exit hook of the pending lists and the default front end.
#pragma once

#include <cstddef>

struct MsgFrontEnd;

// The front end in force until another is set, and again after
// Msg_SetFrontEnd(null).
const MsgFrontEnd *MsgPlat_DefaultFrontEnd();

int MsgPlat_StdinFd();
int MsgPlat_StdoutFd();
int MsgPlat_StderrFd();
bool MsgPlat_IsTerminal(int fd);
// Writes all of text; false on failure.
bool MsgPlat_Write(int fd, const char *text, size_t length);
// Reads one byte: 1, 0 at the end, -1 on failure.
int MsgPlat_ReadByte(int fd, char *byte);

// Arranges for atExit(value) to run on the calling thread when it ends,
// after every C++ thread-local object of the thread has been destroyed;
// a later call replaces the value (null: nothing runs). Setting a value
// from within atExit arms it once more. False when it cannot be arranged.
// The same on both platforms: msgThreadExit.cpp.
bool MsgPlat_SetThreadExitValue(void (*atExit)(void *), void *value);
