// Evidence of a fatal error: a backtrace of the current stack in the log
// and a core image of the process in the per-user safe temporary
// directory. Used by Panic; safe to call from any thread, though only one
// panicking thread is expected.
#pragma once

// Logs one line per frame of the calling thread's stack (at most 32).
void CoreDump_Backtrace();

/*
 * Sets aside what writing a core image needs: an address-space reserve
 * (panic.addrSpaceReservedKB, panic.commitAddrSpaceReserved) that is given
 * back just before the image is written, and the candidate file names.
 * Done once. A program with a preference store does it as soon as the
 * store is loaded, so that the reserve exists before memory runs short and
 * the keys hold even after the store is released; otherwise
 * CoreDump_CoreDump does it on first need, with the keys' defaults.
 */
void CoreDump_Prepare();

/*
 * Writes a core image of the whole process, with the calling thread's
 * registers, to the first candidate file that can be created. Failures
 * are logged; the call always returns.
 */
void CoreDump_CoreDump();
