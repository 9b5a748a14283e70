// Dumps in progress that survive a restart of the collector (resumeDumps).
//
// While the loop runs, each dump's life goes to a state file in the data
// directory (salvorResumeFile.h): that it began, with its slot, host,
// time stamp, file and sealed key and token; each range of it that was
// written; that it ended. A batch's records go out with one write just
// before its replies, so that no host hears of bytes the file does not
// know. A stop keeps the dumps in progress instead of ending them.
//
// At start the state is read back and each dump put in the same slot with
// its file, opened again without following a link and only while it is
// still the file that was written; the journal is given what it had
// received. What cannot be trusted is logged and journaled as lost. The
// file is then written anew, and again whenever it has grown well past
// that.
#pragma once

// Subscribes to the dumps' events and the loop (call once, after the
// journal's). Nothing happens while resumeDumps is off.
void SalvorResumeSubscribe();
