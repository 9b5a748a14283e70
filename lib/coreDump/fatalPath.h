// The full fatal path of the libraries, installed as Panic's handler.
//
// On the first entry of Panic it lifts the log's throttle and logs the
// message, a backtrace of the panicking thread, keeps the log file,
// writes a core image, posts a message to the user and logs "Exiting".
// On the second entry (a panic while panicking) it logs the message and
// "Panic loop" once; later entries log nothing. A program installs it when
// it starts its log, so that a fatal error before that point (when there
// is no log to write to) leaves only standard error.
#pragma once

// Makes the full fatal path Panic's handler (see lib/misc/panic.h).
void CoreDump_InstallPanicHandler();
