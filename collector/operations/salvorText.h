// Text for machine readers: JSON strings for the dump journal and label
// values for the metrics file; and sizes for the log. Host names and paths may hold any byte:
// what is not valid UTF-8 comes out as U+FFFD, so that the output always
// parses.
#pragma once

#include <cstdint>
#include <string>

// Appends `text` as a JSON string, quotes included.
void SalvorAppendJsonString(std::string *out, const char *text);
// Appends `text` escaped for a label value of the metrics text format.
void SalvorAppendLabelValue(std::string *out, const char *text);

/*
 * A size for the log, in the largest unit of bytes, KiB and MiB that
 * leaves a whole number of at least 1 (rounded down): "1004 KiB", not
 * "0 MiB", for a file system close to full.
 */
std::string SalvorSizeText(uint64_t bytes);
