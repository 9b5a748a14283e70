// Path and directory operations of the file library.
//
// Rename with a retry budget (milliseconds of sleeping) that absorbs
// transient sharing and access failures; whole directory chains;
// splitting and joining path strings. The retrying operations return
// errno-style codes (0 for success) and leave the platform's last error
// set for the caller to print. Returned strings are the caller's to free.
// The other retrying primitives are the library's own (fileInt.h).
#pragma once

#include <cerrno>
#include <cstdint>

#include "lib/file/fileTypes.h"

int File_RenameRetry(const char *from, const char *to, uint32_t msecMaxWait);
/*
 * The errno-style code of a platform error, by the same table, without a
 * log line (for the log itself): EIO for a code it lacks, 0 for 0.
 */
int File_ErrnoOfPlatformError(int err);

int File_Rename(const char *from, const char *to);
int File_Remove(const char *path);  // 0 or -1
bool File_MakeDir(const char *path);
bool File_MakeDirTree(const char *path, char **firstCreated);
/*
 * Opens the directory root/levels[0]/.../levels[count-1], making the
 * levels that are missing with `mode`, and follows no symbolic link below
 * root: each level is opened relative to its parent, and a link in place
 * of a level fails the walk with the platform's "path not found". A
 * missing root is made as File_MakeDirTree would. Returns the last
 * level's handle (close it with File_CloseDirHandle), or
 * FILE_INVALID_HANDLE with the last error set.
 */
FileHandle File_OpenDirTree(const char *root, const char *const *levels, size_t count,
                            int mode);
/*
 * File_OpenDirTree that makes nothing: a missing level, or a link in
 * place of one, fails the walk.
 */
FileHandle File_OpenExistingDirTree(const char *root, const char *const *levels,
                                    size_t count);
// Not every C library numbers it (Windows' do not); POSIX's number.
#ifndef ESTALE
#define ESTALE 116
#endif
/*
 * Removes `name` directly below the directory `dir` (a handle of
 * File_OpenDirTree) only while that name still stands for the file `id`;
 * a link by that name is looked at, never followed. 0 on success, else
 * an errno-style code: ESTALE when the name now stands for another file.
 */
int File_RemoveAtIfSame(FileHandle dir, const char *name, const FileId *id);
// Closes a handle of File_OpenDirTree (FILE_INVALID_HANDLE is ignored);
// keeps the last error.
void File_CloseDirHandle(FileHandle dir);

/*
 * The thread's last file error as the platform reports it (errno on
 * POSIX), for printing with File_ErrorText or handing back to
 * File_SetLastError. FILE_ERR_NAME_TOO_LONG is the code of a name too long
 * for the platform, for callers that refuse such a name themselves.
 */
int File_LastError();
void File_SetLastError(int err);
const char *File_ErrorText(int err);
extern const int FILE_ERR_NAME_TOO_LONG;
// The permission bits that the process's creation mask takes from a new file.
int File_CreationMask();
/*
 * 0 when the path (links followed) names a regular file. Otherwise an
 * errno-style code: that of the failed look-up, EISDIR for a directory,
 * EINVAL for anything else (a pipe, a device, a socket), whose reading
 * may block for ever or never end.
 */
int File_CheckRegular(const char *path);
/*
 * 0 when the file at path (links followed) is readable by its owner alone
 * (on Windows: by SYSTEM, the Administrators and the process's own user
 * alone), EACCES when
 * others may read it, or the errno-style code of the failed look-up. For
 * files that hold secrets.
 */
int File_CheckPrivate(const char *path);
bool File_PathExists(const char *path);
bool File_IsDir(const char *path);
int File_ListDir(const char *path, char ***names);
char *File_FullPath(const char *path);
void File_SplitPath(const char *path, char **volume, char **dir, char **base);
void File_DirAndBase(const char *path, char **dir, char **base);
char *File_StripSeparators(const char *path);
char *File_JoinPath(const char *dir, const char *name);
bool File_SameFile(const char *a, const char *b);
bool File_DoesVolumeSupportAcls(const char *path);

/*
 * Keeps at most n older copies of fileName: by renaming (copy 0 is the
 * newest, the oldest falls off) or, with renumber, by giving the current
 * file the next higher number and deleting the lowest-numbered copies.
 * newName, when given, receives the name the current file got, or null.
 */
void File_Rotate(const char *fileName, int n, bool renumber, char **newName);

/*
 * A directory for temporary files that belongs to the current user alone,
 * created when missing; null when none can be had. useConf lets the
 * "tmpDirectory" preference choose the base directory. The caller frees
 * the result.
 */
char *File_GetSafeTmpDir(bool useConf);

// The platform's directory separator, as a character and as a string.
#ifdef _WIN32
#define DIRSEPC '\\'
#define DIRSEPS "\\"
#else
#define DIRSEPC '/'
#define DIRSEPS "/"
#endif
