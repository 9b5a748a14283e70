// Thin platform layer for what the collector asks of its process, apart
// from sockets (salvorNet.h): the limit on open files and the signal of
// a broken pipe. The POSIX back end
// is salvorPlatPosix.cpp.
#pragma once

#include <cstdint>

/*
 * Raises the process's limit on open files to at least `wanted`, as far
 * as the system allows (up to its hard limit). Returns true when the
 * limit now reaches `wanted`; *limit receives the limit in force.
 */
bool SalvorPlat_RaiseOpenFileLimit(uint64_t wanted, uint64_t *limit);

/*
 * A write to a pipe whose reader has gone (standard error read by a
 * program that ended) fails with an error instead of ending the process.
 */
void SalvorPlat_IgnoreBrokenPipe();
