// Directory security of the host utilities: making and checking a
// directory that belongs to the current user alone.
#pragma once

/*
 * Creates path (trailing separators ignored) so that only the current
 * user can reach it, whatever the parent would pass on to it. False, with
 * a log line, when it cannot be made or made private.
 */
bool W32Util_MakeSafeDirectory(const char *path);

/*
 * Whether path (trailing separators ignored) is a directory that only the
 * current user can reach: a real directory, not a link, owned by the
 * user, opening nothing to anybody else. Each failed test is logged.
 */
bool W32Util_IsDirectorySafe(const char *path);
