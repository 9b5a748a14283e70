// What the collector's in-process tests see differently on each platform:
// the separator of the paths the collector makes and prints, the words
// it prints for a failed call, and the line ends of its text files.
#pragma once

#include <string>

namespace testutil {

// `path` (written with '/') with the separator the collector joins its
// paths with.
std::string CollectorPath(const std::string &path);

// The words the file library prints for the platform error that stands
// for errno `err`: the one a call armed with it fails with.
std::string ErrnoText(int err);
// The words it prints when a new file's name is taken.
std::string NameTakenText();

// How a line written to a file opened in text mode ends.
extern const char *const TEXT_LINE_END;

}  // namespace testutil
