// The default front end of user messages on Windows: the console front
// end, with posts shown in a message box where nothing else would show
// them to a person.
#pragma once

struct MsgFrontEnd;

// What decides where a post is shown.
struct MsgBoxSetting {
   bool visibleDesktop;  // the process's window station has a visible desktop
   bool streams;         // the process has a console, or a standard stream of its own
   bool consoleForTest;  // a test has put streams of its own in place of the console's
};

/*
 * Whether a post is shown in a box: only on a visible desktop (a service
 * has none), to a program started from the desktop. A program with a
 * console shows posts there, as everywhere else; one whose streams go to
 * a pipe or a file runs unattended (a test, a program whose output is
 * collected), and its posts stay in the log.
 */
bool MsgBox_Wanted(const MsgBoxSetting &setting);
// The process's setting now.
MsgBoxSetting MsgBox_CurrentSetting();

const MsgFrontEnd *MsgBox_FrontEnd();
