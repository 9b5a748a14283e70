// The full fatal path of the libraries, installed as Panic's handler.
//
// On the first entry of Panic it lifts the log's throttle and logs the
// message, a backtrace of the panicking thread, keeps the log file,
// writes a core image, posts a message to the user and logs "Exiting".
// On the second entry (a panic while panicking) it logs the message and
// "Panic loop" once; later entries log nothing. Every program installs it
// first thing in main: a fatal error before its log starts (option
// parsing, lock files, the log's own set-up) still writes the core image,
// and its log lines wait in the log's pending ring until the log starts.
#pragma once

// Makes the full fatal path Panic's handler (see lib/misc/panic.h).
void CoreDump_InstallPanicHandler();
