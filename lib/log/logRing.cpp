// The pending ring: lines that cannot reach the outputs yet, each stored
// as its 82-byte header followed by its text. When the ring is full the
// oldest whole lines make room, so the newest 32 KiB survive.
#include <cstdlib>
#include <cstring>

#include "lib/log/logInt.h"
#include "lib/string/str.h"

namespace {

constexpr uint32_t HEADER_SIZE = sizeof(LogLineHeader);

char
LogRingByteAt(const LogPendingRing *ring, uint32_t offset)
{
   return ring->base[(ring->readPos + offset) % LOG_BUFFER_SIZE];
}

// Offset (from the read position) of the first "\n", or -1.
long
LogRingFindNewline(const LogPendingRing *ring)
{
   uint32_t first = LOG_BUFFER_SIZE - ring->readPos;
   uint32_t len = ring->count < first ? ring->count : first;
   const void *hit = std::memchr(ring->base + ring->readPos, '\n', len);
   if (hit != nullptr) {
      return static_cast<const char *>(hit) - (ring->base + ring->readPos);
   }
   if (ring->count > first) {
      hit = std::memchr(ring->base, '\n', ring->count - first);
      if (hit != nullptr) {
         return first + (static_cast<const char *>(hit) - ring->base);
      }
   }
   return -1;
}

void
LogRingConsume(LogPendingRing *ring, uint32_t n)
{
   ring->readPos = (ring->readPos + n) % LOG_BUFFER_SIZE;
   ring->count -= n;
}

void
LogRingMakeRoom(LogPendingRing *ring, uint32_t n)
{
   while (ring->count > 0 && LOG_BUFFER_SIZE - ring->count <= n) {
      long nl = LogRingFindNewline(ring);
      uint32_t gone = nl >= 0 ? (uint32_t)nl + 1 : ring->count;
      // Every line in the ring starts with its header; the text is what
      // the notice reports.
      ring->droppedBytes += gone > HEADER_SIZE ? gone - HEADER_SIZE : 0;
      LogRingConsume(ring, gone);
   }
}

void
LogRingPut(LogPendingRing *ring, const char *data, uint32_t n)
{
   uint32_t first = LOG_BUFFER_SIZE - ring->writePos;
   if (n <= first) {
      std::memcpy(ring->base + ring->writePos, data, n);
   } else {
      std::memcpy(ring->base + ring->writePos, data, first);
      std::memcpy(ring->base, data + first, n - first);
   }
   ring->writePos = (ring->writePos + n) % LOG_BUFFER_SIZE;
   ring->count += n;
}

bool
LogRingEndsOpenLine(const LogPendingRing *ring)
{
   return ring->count > 0 && LogRingByteAt(ring, ring->count - 1) != '\n';
}

}  // namespace

LogPendingRing *
LogGetRing()
{
   LogPendingRing *ring = logState.ring.load(std::memory_order_acquire);
   if (ring != nullptr) {
      return ring;
   }
   LogPendingRing *mine = static_cast<LogPendingRing *>(std::calloc(1, sizeof *mine));
   char *base = static_cast<char *>(std::malloc(LOG_BUFFER_SIZE));
   if (mine == nullptr || base == nullptr) {
      std::free(mine);
      std::free(base);
      return nullptr;
   }
   mine->base = base;
   if (logState.ring.compare_exchange_strong(ring, mine, std::memory_order_acq_rel)) {
      return mine;
   }
   std::free(base);
   std::free(mine);
   return ring;
}

void
LogRingPutLine(const LogLineHeader &header, const char *segment, size_t length,
               bool withHeader)
{
   LogPendingRing *ring = LogGetRing();
   if (ring == nullptr) {
      return;
   }
   // The text continues a line only when that line is still open in the
   // ring; otherwise it starts a line of its own, with its header.
   bool continues = !withHeader && LogRingEndsOpenLine(ring);
   bool closeOpenLine = !continues && LogRingEndsOpenLine(ring);
   uint32_t headerBytes = continues ? 0 : HEADER_SIZE;

   // A line longer than the ring is cut so that it fits with its header.
   uint32_t room = LOG_BUFFER_SIZE - headerBytes - (closeOpenLine ? 1 : 0);
   size_t n = length;
   bool cut = false;
   if (n > room) {
      n = Str_CompleteUtf8Length(segment, room - 1);
      cut = true;
   }
   LogRingMakeRoom(ring, (uint32_t)(headerBytes + n + (cut ? 1 : 0) + (closeOpenLine ? 1 : 0)));
   if (continues && !LogRingEndsOpenLine(ring)) {
      // Making room took the open line away: what is left of it starts a
      // line of its own.
      LogRingPutLine(header, segment, length, true);
      return;
   }
   if (closeOpenLine && LogRingEndsOpenLine(ring)) {
      LogRingPut(ring, "\n", 1);
   }
   if (!continues) {
      LogRingPut(ring, reinterpret_cast<const char *>(&header), HEADER_SIZE);
   }
   LogRingPut(ring, segment, (uint32_t)n);
   if (cut) {
      LogRingPut(ring, "\n", 1);
   }
   logState.linesPending.store(true, std::memory_order_relaxed);
}

long
LogRingTakeLine(LogPendingRing *ring, char *buf, size_t size)
{
   if (ring->count == 0) {
      return -1;
   }
   long nl = LogRingFindNewline(ring);
   if (nl < 0) {
      return -1;
   }
   uint32_t lineLen = (uint32_t)nl + 1;
   uint32_t copy = lineLen < size ? lineLen : (uint32_t)size;
   for (uint32_t i = 0; i < copy; i++) {
      buf[i] = LogRingByteAt(ring, i);
   }
   LogRingConsume(ring, lineLen);
   if (copy < size) {
      buf[copy] = '\0';
      return copy;
   }
   // The line filled the buffer: cut its text back to a whole character
   // and end it with "\n", leaving room for the NUL.
   if (size < HEADER_SIZE + 3) {
      return 0;
   }
   size_t keep = Str_TrimIncompleteUtf8(buf + HEADER_SIZE, size - HEADER_SIZE - 2);
   buf[HEADER_SIZE + keep] = '\n';
   buf[HEADER_SIZE + keep + 1] = '\0';
   return (long)(HEADER_SIZE + keep + 1);
}

void
LogRingDrain()
{
   LogPendingRing *ring = logState.ring.load(std::memory_order_acquire);
   if (ring == nullptr || ring->count == 0) {
      return;
   }
   // The lines that survive come after those that had to make room for
   // them: the notice goes first.
   if (ring->droppedBytes != 0 && LogWriteDroppedNotice(&logState, ring->droppedBytes)) {
      ring->droppedBytes = 0;
   }
   char local[LOG_LOCAL_BUFFER];
   char *borrowed = LogBorrowBuffer(&logState.drainBuffer);
   char *buf = borrowed != nullptr ? borrowed : local;
   size_t size = borrowed != nullptr ? LOG_BUFFER_SIZE : LOG_LOCAL_BUFFER;
   long len;
   while ((len = LogRingTakeLine(ring, buf, size)) >= 0) {
      if (len <= (long)HEADER_SIZE) {
         continue;
      }
      LogLineHeader header;
      std::memcpy(&header, buf, HEADER_SIZE);
      LogWriteLine(header, buf + HEADER_SIZE, (size_t)len - HEADER_SIZE, true);
   }
   LogReturnBuffer(&logState.drainBuffer, borrowed);
   // An open line's start stays until its end comes.
   logState.linesPending.store(ring->count != 0, std::memory_order_relaxed);
}

void
LogRingFree()
{
   LogPendingRing *ring = logState.ring.exchange(nullptr, std::memory_order_acq_rel);
   logState.linesPending.store(false, std::memory_order_relaxed);
   if (ring != nullptr) {
      std::free(ring->base);
      std::free(ring);
   }
}
