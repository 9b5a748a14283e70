// The POSIX platform layer's signal handling, shared by its files: one
// handler that calls a signal's callback with errno kept.
#pragma once

// Calls onSignal from the handler of each of the count signals, installed
// with sigaction's flags (SA_RESETHAND, SA_RESTART, SA_NOCLDSTOP...).
void SalvorPlatPosix_OnSignals(const int *signals, int count, int flags, void (*onSignal)());
