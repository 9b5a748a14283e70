// Thin platform layer of the client tools: reading the dump's file or
// standard input by descriptor, the terminal test of the progress bar,
// the process's number and the broken-pipe signal. The POSIX back end is
// toolsPlatformPosix.cpp, the Windows one toolsPlatformWin32.cpp.
// Failures return a negative value with the reason in errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// What a descriptor reads from.
enum class ToolsFileKind { Regular, Directory, Other };

// Opens `path` for reading, not inherited by children; -1 on failure.
int ToolsPlat_OpenRead(const char *path);
void ToolsPlat_Close(int fd);
// Standard input's descriptor, set to pass bytes unchanged.
int ToolsPlat_StandardInput();
// The kind and size of what fd reads; false on failure.
bool ToolsPlat_FileInfo(int fd, ToolsFileKind *kind, uint64_t *size);
// Tells the system that fd will be read from start to end (a hint).
void ToolsPlat_AdviseSequential(int fd);
// Reads up to len bytes at the file's position; 0 at its end, -1 on error.
long ToolsPlat_Read(int fd, void *dst, size_t len);
// Reads up to len bytes at `offset`; 0 at the end, -1 on error.
long ToolsPlat_ReadAt(int fd, void *dst, size_t len, uint64_t offset);
// Moves a file's position back to its start; false on failure.
bool ToolsPlat_SeekStart(int fd);

bool ToolsPlat_IsTerminal(FILE *stream);
// A write to a pipe whose reader has gone fails instead of ending the process.
void ToolsPlat_IgnoreBrokenPipe();
