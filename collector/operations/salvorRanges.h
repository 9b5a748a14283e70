// The byte ranges of a dump that have reached its file, to tell at its
// end whether it is whole and where it has holes.
//
// A dump sent in order is one range that grows: adding to it costs no
// allocation. Out of order, the ranges are kept sorted, merged where they
// touch, in memory that is kept from one dump of a slot to the next. Past
// SALVOR_MAX_RANGES separate ranges the set gives up: its holes are then
// unknown, and it stays at that size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t SALVOR_MAX_RANGES = 4096;
constexpr size_t SALVOR_MAX_HOLES_SHOWN = 16;

struct SalvorRange {
   uint64_t start;
   uint64_t end;  // one past the last byte
};

class SalvorRangeSet {
public:
   // Empties the set for a new dump; memory beyond a small set is given back.
   void Reset();
   // Adds [start, end); true when every byte of it was already there.
   bool Add(uint64_t start, uint64_t end);
   bool Unknown() const { return unknown_; }
   // Gives up, as past SALVOR_MAX_RANGES (a dump whose ranges were not kept).
   void MarkUnknown()
   {
      ranges_.clear();
      unknown_ = true;
   }
   // The ranges, in order; empty when Unknown().
   const std::vector<SalvorRange> &Ranges() const { return ranges_; }
   // One past the highest byte added (0 when empty).
   uint64_t Highest() const { return highest_; }
   /*
    * The gaps below `end` (at least the highest byte), in order: the
    * first `max` of them into `holes` (as [offset, length] in start and
    * end), their count as the result, and the bytes of all of them in
    * *holeBytes. Meaningless when Unknown().
    */
   size_t Holes(SalvorRange *holes, size_t max, uint64_t *holeBytes, uint64_t end = 0) const;
   /*
    * The bytes of this set that `other` lacks, and in *end one past the
    * highest of them (0 when none). Meaningless when either is Unknown().
    */
   uint64_t Missing(const SalvorRangeSet &other, uint64_t *end) const;

private:
   std::vector<SalvorRange> ranges_;
   uint64_t highest_ = 0;
   bool unknown_ = false;
};
