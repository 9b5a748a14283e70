// Elements whose value is a path: a directory, a file, a program.
//
// A path too long for its field is refused, never cut, so that the
// collector never writes somewhere it was not told to; an empty one is
// refused before anything looks at it.
#pragma once

#include "collector/startup/salvorElementRow.h"

// Each returns 0, or the failure code with the reason in the init log.
// The directory is probed (made when missing, a file created in it and
// removed) before it is taken.
int SalvorReadDirectoryElement(const SalvorElementRow &row, const char *name, const char *text);
int SalvorReadFilePathElement(const SalvorElementRow &row, const char *name, const char *text);
// Checked once here rather than failing for every dump: it must be a
// program that can be started wherever the collector runs.
int SalvorReadProgramElement(const SalvorElementRow &row, const char *name, const char *text);
