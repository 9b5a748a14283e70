// The default front end of user messages on Windows: the console front
// end, with posts shown in a message box where a person can see one.
#pragma once

struct MsgFrontEnd;

// What decides where a post is shown.
struct MsgBoxSetting {
   bool visibleDesktop;  // the process's window station has a visible desktop
   bool console;         // the process has a console, or a standard stream is one
   bool consoleForTest;  // a test has put streams of its own in place of the console's
};

/*
 * Whether a post is shown in a box: only on a visible desktop (a service
 * has none), and not where a console shows it (a program started from a
 * command prompt writes there, as everywhere else).
 */
bool MsgBox_Wanted(const MsgBoxSetting &setting);
// The process's setting now.
MsgBoxSetting MsgBox_CurrentSetting();

const MsgFrontEnd *MsgBox_FrontEnd();
