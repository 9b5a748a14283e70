// What the client tools' tests do differently on each platform: pipes
// inside the test, sparse files, owner-only files, and a pipe lent to a
// child as its standard input. Back ends: toolsTestPlatformPosix.cpp and
// toolsTestPlatformWin32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace toolstest {

// A pipe of C runtime descriptors: fds[0] reads, fds[1] writes; binary,
// and not inherited by children. A write whose reader has gone fails.
bool OpenPipe(int fds[2]);
// Writes up to len bytes; -1 on error.
long Write(int fd, const void *buf, size_t len);
void Close(int fd);

// Lets only the file's owner read it (Windows: SYSTEM, the Administrators
// and the user the test runs as), as a keys file must be.
bool MakeOwnerOnly(const std::string &path);

// A file of `size` zero bytes, taking no disk space where the file
// system allows.
bool MakeSparseFile(const std::string &path, uint64_t size);

// Makes `fd` the test's standard input, for a child started meanwhile to
// inherit; returns what RestoreStandardInput gives back.
intptr_t LendStandardInput(int fd);
void RestoreStandardInput(intptr_t saved);

// Runs args to their end (a minute at most) with `input` written into
// their standard input through a pipe; output and error captured.
testutil::RunResult RunFed(const std::vector<std::string> &args, const std::string &input);

}  // namespace toolstest
