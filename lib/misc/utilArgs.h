// The program's arguments in UTF-8, like every string of the library.
//
// On Windows the C run-time hands main() its arguments in the ANSI code
// page, which cannot hold every name a path may have; they are read again
// from the process's wide command line. Elsewhere they are already the
// bytes the program was given and stay as they are.
#pragma once

// Points *argc and *argv at the UTF-8 arguments (kept for the life of the
// process). On Windows they all come from the wide command line, and
// *argc is its count even where the run-time's narrow split counted
// otherwise. False, with both left as they were, when the wide command
// line cannot be had or converted.
bool Util_Utf8Args(int *argc, char ***argv);
