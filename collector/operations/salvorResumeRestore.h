// Putting back, at start, the dumps in progress that the resume state file
// names (see salvorResume.h).
#pragma once

#include <string>

#include "collector/operations/salvorResumeFile.h"

/*
 * Reads the state file at `path` and puts each dump it names back in its
 * slot, filling `mirror` (SALVOR_RESUME_SLOTS entries) with those put
 * back; each one that cannot be is logged and journaled as lost. A file
 * that is damaged, or is not a regular file, is set aside under another
 * name, never followed.
 */
void SalvorResumeRestoreAll(const std::string &path, SalvorResumeLive *mirror);
