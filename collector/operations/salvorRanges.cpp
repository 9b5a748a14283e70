// Received byte ranges of a dump; see salvorRanges.h.
#include "collector/operations/salvorRanges.h"

#include <algorithm>

namespace {

// Ranges a slot keeps between dumps; more are given back at the reset.
constexpr size_t SALVOR_KEPT_RANGES = 64;

}  // namespace

void
SalvorRangeSet::Reset()
{
   ranges_.clear();
   if (ranges_.capacity() > SALVOR_KEPT_RANGES) {
      ranges_.shrink_to_fit();
   }
   highest_ = 0;
   unknown_ = false;
}

bool
SalvorRangeSet::Add(uint64_t start, uint64_t end)
{
   if (end <= start) {
      return true;
   }
   highest_ = std::max(highest_, end);
   if (unknown_) {
      return false;
   }
   // In order: the last range grows.
   if (!ranges_.empty() && start >= ranges_.back().start && start <= ranges_.back().end) {
      bool inside = end <= ranges_.back().end;
      ranges_.back().end = std::max(ranges_.back().end, end);
      return inside;
   }
   // The first range that ends at or after `start` is the first it may touch.
   auto first = std::lower_bound(ranges_.begin(), ranges_.end(), start,
                                 [](const SalvorRange &r, uint64_t at) { return r.end < at; });
   auto last = first;
   while (last != ranges_.end() && last->start <= end) {
      ++last;
   }
   if (first == last) {
      if (ranges_.size() == SALVOR_MAX_RANGES) {
         unknown_ = true;
         ranges_.clear();
         return false;
      }
      ranges_.insert(first, SalvorRange{start, end});
      return false;
   }
   bool inside = first + 1 == last && first->start <= start && end <= first->end;
   first->start = std::min(first->start, start);
   first->end = std::max((last - 1)->end, end);
   ranges_.erase(first + 1, last);
   return inside;
}

size_t
SalvorRangeSet::Holes(SalvorRange *holes, size_t max, uint64_t *holeBytes, uint64_t end) const
{
   size_t count = 0;
   *holeBytes = 0;
   uint64_t at = 0;
   auto gapUpTo = [&](uint64_t to) {
      if (to > at) {
         if (count < max) {
            holes[count] = SalvorRange{at, to - at};
         }
         count++;
         *holeBytes += to - at;
      }
   };
   for (const SalvorRange &r : ranges_) {
      gapUpTo(r.start);
      at = r.end;
   }
   gapUpTo(end);
   return count;
}

uint64_t
SalvorRangeSet::Missing(const SalvorRangeSet &other, uint64_t *end) const
{
   uint64_t missing = 0;
   *end = 0;
   auto cover = other.ranges_.begin();
   for (const SalvorRange &r : ranges_) {
      uint64_t at = r.start;
      // Both lists are sorted and apart: walk them together.
      while (at < r.end) {
         while (cover != other.ranges_.end() && cover->end <= at) {
            ++cover;
         }
         uint64_t to = cover == other.ranges_.end() ? r.end : std::min(r.end, cover->start);
         if (to > at) {
            missing += to - at;
            *end = to;
            at = to;
         } else {
            at = std::min(r.end, cover->end);
         }
      }
   }
   return missing;
}
