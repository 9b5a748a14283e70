// Dump files: naming and creation of one file per dump, in one directory per client address,
// named from the address, the local date and time and a counter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/file/fileIO.h"

constexpr int SALVOR_MAX_NAME_TRIES = 256;
constexpr size_t SALVOR_NAME_SIZE = 1024;
// Dump files hold a crashed host's memory: readable by their owner only.
constexpr int SALVOR_DUMP_FILE_MODE = 0440;

/*
 * Creates the client's directory and a new dump file in it, trying up to
 * 256 names. Leaves the last name tried in `name` and returns the status
 * of the create (FILEIO_ERROR when every name was taken).
 */
FileIOStatus SalvorCreateDumpFile(uint32_t clientIP, char *name, size_t nameSize,
                                  const char *dataDir, FileIOFile *fd);
