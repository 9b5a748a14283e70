// Platform layer of the dictionary: opening and reading its file, and the
// host's character encoding.
#pragma once

#include <cstddef>

enum DictionaryPlatOpen {
   DICTPLAT_OK,
   DICTPLAT_OPEN_FAILED,
   DICTPLAT_STAT_FAILED,
   DICTPLAT_IS_DIRECTORY,
   DICTPLAT_NOT_REGULAR,   // a FIFO, a device, a socket
};

/*
 * Opens path for reading without waiting for a writer (a FIFO) and
 * checks what it is; *fd is open only for DICTPLAT_OK. *err is the
 * platform's error code of a failure (errno on POSIX, the Windows error
 * on Windows), for DictionaryPlat_ErrorText.
 */
DictionaryPlatOpen DictionaryPlat_Open(const char *path, int *fd, int *err);
// Reads from a descriptor: the count, 0 at the end, -1 with the error
// code (as for DictionaryPlat_Open) in errno.
long DictionaryPlat_Read(void *fd, void *buf, size_t size);
void DictionaryPlat_Close(int fd);
int DictionaryPlat_StdinFd();
// The host's encoding: on POSIX the codeset of the locale the environment
// selects (LC_ALL, LC_CTYPE, LANG), on Windows the ANSI code page.
const char *DictionaryPlat_HostEncoding();
// The text of an error code, without a final period.
const char *DictionaryPlat_ErrorText(int err, char *buf, size_t size);
