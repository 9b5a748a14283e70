// Flattened dump streams (makedumpfile -F) written by hand for the tests,
// and the file they stand for.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct FlatRecord {
   uint64_t offset;
   std::vector<uint8_t> bytes;
};

// The 4,096-byte header, the records and the end marker.
inline std::string
FlatStream(const std::vector<FlatRecord> &records, bool endMarker = true)
{
   auto be64 = [](std::string *out, int64_t v) {
      for (int i = 7; i >= 0; i--) {
         out->push_back((char)(((uint64_t)v >> (8 * i)) & 0xff));
      }
   };
   std::string out = "makedumpfile";
   out.resize(16, '\0');
   be64(&out, 1);  // type: flat header
   be64(&out, 1);  // version
   out.resize(4096, '\0');
   for (const FlatRecord &r : records) {
      be64(&out, (int64_t)r.offset);
      be64(&out, (int64_t)r.bytes.size());
      out.append(r.bytes.begin(), r.bytes.end());
   }
   if (endMarker) {
      be64(&out, -1);
      be64(&out, -1);
   }
   return out;
}

// The records written in order into one file, holes as zeros.
inline std::string
FlatRebuilt(const std::vector<FlatRecord> &records)
{
   std::string file;
   for (const FlatRecord &r : records) {
      if (r.bytes.empty()) {
         continue;
      }
      if (file.size() < r.offset + r.bytes.size()) {
         file.resize(r.offset + r.bytes.size(), '\0');
      }
      std::copy(r.bytes.begin(), r.bytes.end(), file.begin() + (std::ptrdiff_t)r.offset);
   }
   return file;
}
