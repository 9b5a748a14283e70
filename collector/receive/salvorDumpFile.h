// Dump files: naming and creation of one file per dump, in one directory per client address,
// named from the address, the local date and time and a counter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/file/fileIO.h"
#include "lib/net/net.h"

constexpr int SALVOR_MAX_NAME_TRIES = 256;
constexpr size_t SALVOR_NAME_SIZE = 1024;
// Dump files hold a crashed host's memory: readable by their owner and
// group only, and by nobody before they are finished.
constexpr int SALVOR_DUMP_FILE_MODE = 0440;
/*
 * A dump still being received carries the owner's write bit, which a
 * finished dump never has: a file left by a collector that stopped or
 * crashed in the middle of a dump cannot be mistaken for a whole one
 * (`find <dataDir> -name 'zdump_*' -perm -u=w` lists them).
 */
constexpr int SALVOR_DUMP_PARTIAL_MODE = 0200;

/*
 * Creates the client's directory (one level per number of an IPv4 address,
 * per group of an IPv6 one) and a new dump file in it, trying up to
 * 256 names. Leaves the last name tried in `name` and returns the status
 * of the create (FILEIO_ERROR when every name was taken). No level below
 * dataDir and no file name is followed when it is a symbolic link, so a
 * link planted in the data directory cannot lead a dump outside it. The
 * new file has SALVOR_DUMP_PARTIAL_MODE until SalvorFinishDumpFile.
 */
FileIOStatus SalvorCreateDumpFile(const NetIp &clientIP, char *name, size_t nameSize,
                                  const char *dataDir, FileIOFile *fd);

/*
 * Gives a completely received dump its final mode (SALVOR_DUMP_FILE_MODE
 * less the process's creation mask, as a create would have); false when
 * that failed.
 */
bool SalvorFinishDumpFile(FileIOFile *fd);

/*
 * Closes the file of a dump given up (idle too long) and deletes it. The
 * name is removed from the host's directory, reached from dataDir one
 * level at a time without following a link, and only while it still
 * stands for the file that was open: a link or another file planted in
 * the meantime is logged and left alone, never followed or deleted.
 */
// True when the file was removed.
bool SalvorRemovePartialDump(FileIOFile *fd, const NetIp &clientIP, const char *fileName,
                             const char *dataDir);

// The size of a dump's open file; -1 when it cannot be had.
int64_t SalvorDumpFileSize(const FileIOFile *fd);
