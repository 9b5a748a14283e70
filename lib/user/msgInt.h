// Internals of user messages shared by the pending-message table
// (msg.cpp) and the console front end (msgConsole.cpp).
#pragma once

#include <string>

#include "lib/user/msg.h"

// The console front end: the default one (see MsgPlat_DefaultFrontEnd).
extern const MsgFrontEnd msgConsoleFrontEnd;
// Whether a test has put streams of its own in place of the console's.
bool MsgConsoleIsSubstituted();

// A marked text without arguments, localised.
std::string MsgLocalize(const char *marked);
// A button label without its accelerator marks.
std::string MsgStripUnderscores(const char *text);
// The number of buttons before the terminating null; 0 for none.
int MsgCountButtons(const char *const buttons[]);
// The localised caption of a severity (Information, Warning, Error).
std::string MsgSeverityCaption(int severity);
