// A dump that ended, or a finished dump removed, as the journal writes it
// and the hook is given it.
#pragma once

#include <cstdint>
#include <string>

#include "collector/operations/salvorOpsCounters.h"

// A dump that ended, as the journal and the hook see it.
struct SalvorDumpRecord {
   SalvorOutcome outcome;
   std::string host;
   std::string key;      // the name of its key when it was sealed
   std::string file;     // empty when the file is gone
   std::string reason;
   char started[40];     // ISO 8601; empty when not known
   char ended[40];
   uint64_t bytes;       // payload bytes written
   int64_t size;         // the file's size; -1 when not known
   int64_t holeBytes;    // -1 when not known
   std::string line;     // the journal line, without its newline
};
