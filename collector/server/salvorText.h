// Text for machine readers: JSON strings for the dump journal and label
// values for the metrics file. Host names and paths may hold any byte:
// what is not valid UTF-8 comes out as U+FFFD, so that the output always
// parses.
#pragma once

#include <string>

// Appends `text` as a JSON string, quotes included.
void SalvorAppendJsonString(std::string *out, const char *text);
// Appends `text` escaped for a label value of the metrics text format.
void SalvorAppendLabelValue(std::string *out, const char *text);
