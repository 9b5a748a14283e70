// Host utilities: expansion of "$NAME" references in path templates.
#pragma once

/*
 * Returns a new copy of text with every "$NAME" replaced by the
 * environment variable NAME, or by the process id for "$PID" and the user
 * name for "$USER" when no such variable is set; unknown names stay as
 * they are (with a warning). Null after a failure, which has been logged.
 * The caller frees the result.
 */
char *Util_ExpandString(const char *text);
