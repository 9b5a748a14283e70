// Platform layer of the collector's operations features: the dump
// journal's file and clock, the dump hook's child processes, free space
// on the data file system and the retention sweep's directory walk. The
// back ends are salvorOpsPlatPosix.cpp and salvorOpsPlatWin32.cpp; what is
// portable, salvorOpsPlat.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

#include "lib/file/fileTypes.h"

// Microseconds since 1970-01-01 UTC on the wall clock.
int64_t SalvorPlat_WallUsec();

/*
 * ISO 8601 local time with milliseconds and the zone's offset, such as
 * "2026-03-01T12:34:56.789+01:00". `size` of 40 is always enough.
 */
void SalvorPlat_FormatIsoTime(int64_t wallUsec, char *buf, size_t size);
// The local time `sec` seconds after 1970 UTC into *tm; the zone's offset
// from UTC then, in minutes.
long SalvorPlat_LocalTime(int64_t sec, struct tm *tm);

/*
 * A file opened for appending (created with `mode` if missing): every
 * SalvorPlat_Append is one write at the end, so lines of several writers
 * never mix. FILE_INVALID_HANDLE with the last error on failure.
 */
FileHandle SalvorPlat_OpenAppend(const char *path, int mode);
// False when not all `length` bytes were written.
bool SalvorPlat_Append(FileHandle file, const void *data, size_t length);
void SalvorPlat_CloseHandle(FileHandle file);

// The size of an open file.
bool SalvorPlat_FileSize(FileHandle file, uint64_t *size);

// Bytes an unprivileged writer may still use on the file system of `path`.
bool SalvorPlat_FreeBytes(const char *path, uint64_t *freeBytes);

// A child process and the read end of the pipe on its standard error.
struct SalvorPlatChild {
   intptr_t pid;
   FileHandle errPipe;  // non-blocking
};

/*
 * Starts `path` with no arguments, standard input and output on the null
 * device, standard error on a pipe, and `env` ("NAME=value", null
 * terminated) put before the collector's own environment. The child runs
 * in a group of its own, so that SalvorPlat_KillChild also reaches what
 * it started. On Windows a batch file (.cmd, .bat) runs in the command
 * interpreter. Returns 0, or the platform error.
 */
int SalvorPlat_SpawnChild(const char *path, const char *const *env, SalvorPlatChild *child);

/*
 * Whether the child has ended, without waiting. Once it has, *exitCode is
 * its exit code, or minus the number of the signal that ended it.
 */
bool SalvorPlat_ReapChild(const SalvorPlatChild &child, int *exitCode);

// Ends the child and everything in its group at once.
void SalvorPlat_KillChild(const SalvorPlatChild &child);

/*
 * Reads what the pipe holds now, without waiting: the count read, 0 at
 * its end, -1 when nothing is there yet.
 */
long SalvorPlat_ReadPipe(FileHandle pipe, char *buf, size_t size);

// One entry of a directory, as it is, no link followed.
struct SalvorPlatEntry {
   char name[256];
   bool isDir;
   bool isFile;          // a regular file
   // The owner's write bit; on Windows, the read-only attribute's absence.
   bool ownerWritable;
   int64_t mtimeSec;     // since 1970
   int64_t mtimeNsec;    // within that second
   uint64_t size;
   FileId id;            // for File_RemoveAtIfSame
};

/*
 * Opens the directory `name` below `dir` (FILE_INVALID_HANDLE: `name` is
 * a path), refusing a link by that name.
 */
FileHandle SalvorPlat_OpenDirAt(FileHandle dir, const char *name);
// The entries of an open directory other than "." and "..".
bool SalvorPlat_ListDirAt(FileHandle dir, std::vector<SalvorPlatEntry> *entries);
// Removes an empty directory directly below `dir`; 0 or the error.
int SalvorPlat_RemoveDirAt(FileHandle dir, const char *name);
