// Sources of dump bytes; see salvorSource.h.
#include "tools/salvorSource.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/toolsPlatform.h"

namespace {

// Reads exactly `len` bytes at `offset`.
bool
SalvorSourceReadAt(int fd, uint8_t *dst, size_t len, uint64_t offset, std::string *error)
{
   while (len > 0) {
      long n = ToolsPlat_ReadAt(fd, dst, len, offset);
      if (n <= 0) {
         *error = n == 0 ? "the file became shorter while it was being sent"
                         : std::string("read failed: ") + strerror(errno);
         return false;
      }
      dst += n;
      len -= (size_t)n;
      offset += (uint64_t)n;
   }
   return true;
}

// A file read a block at a time from start to end; pieces sent again are
// read alone where they lie.
class FileSource : public SalvorDumpSource {
public:
   FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}

   Result Next(uint8_t *dst, size_t cap, uint64_t *offset, uint32_t *length,
               std::string *error) override
   {
      if (next_ >= size_) {
         return End;
      }
      if (next_ >= blockAt_ + block_.size()) {
         block_.resize(std::min<uint64_t>(READ_AHEAD, size_ - next_));
         blockAt_ = next_;
         if (!SalvorSourceReadAt(fd_, block_.data(), block_.size(), next_, error)) {
            block_.clear();
            return Failed;
         }
      }
      size_t n = std::min<uint64_t>({cap, size_ - next_, blockAt_ + block_.size() - next_});
      std::memcpy(dst, block_.data() + (next_ - blockAt_), n);
      *offset = next_;
      *length = (uint32_t)n;
      next_ += n;
      return Piece;
   }
   bool Rereadable() const override { return true; }
   bool Rewind(std::string * /*error*/) override
   {
      next_ = 0;
      block_.clear();
      blockAt_ = 0;
      return true;
   }
   bool Reread(uint8_t *dst, uint64_t offset, uint32_t length, std::string *error) override
   {
      return SalvorSourceReadAt(fd_, dst, length, offset, error);
   }
   uint64_t Size() const override { return size_; }

private:
   // A multiple of the largest payload, so that pieces do not straddle blocks.
   static constexpr uint64_t READ_AHEAD = 64 * 1552;
   int fd_;
   uint64_t size_;
   uint64_t next_ = 0;
   std::vector<uint8_t> block_;
   uint64_t blockAt_ = 0;
};

class StreamSource : public SalvorDumpSource {
public:
   explicit StreamSource(int fd) : in_(fd) {}

   Result Next(uint8_t *dst, size_t cap, uint64_t *offset, uint32_t *length,
               std::string *error) override
   {
      long n = in_.Read(dst, cap, error);
      if (n < 0) {
         return Failed;
      }
      if (n == 0) {
         return End;
      }
      *offset = next_;
      *length = (uint32_t)n;
      next_ += (uint64_t)n;
      return Piece;
   }

private:
   SalvorBufferedReader in_;
   uint64_t next_ = 0;
};

int64_t
SalvorSourceBigEndian64(const uint8_t *p)
{
   uint64_t v = 0;
   for (int i = 0; i < 8; i++) {
      v = v << 8 | p[i];
   }
   return (int64_t)v;
}

class FlatSource : public SalvorDumpSource {
public:
   static constexpr size_t HEADER_SIZE = 4096;

   FlatSource(int fd, bool rewindable) : fd_(fd), rewindable_(rewindable), in_(fd) {}

   Result Next(uint8_t *dst, size_t cap, uint64_t *offset, uint32_t *length,
               std::string *error) override
   {
      if (!headerRead_ && !ReadHeader(error)) {
         return Failed;
      }
      while (left_ == 0) {
         if (ended_) {
            return End;
         }
         if (!ReadRecordHead(error)) {
            return Failed;
         }
      }
      size_t want = (size_t)std::min<uint64_t>(cap, left_);
      long n = in_.Read(dst, want, error);
      if (n < 0) {
         return Failed;
      }
      if ((size_t)n < want) {
         *error = "the flattened stream ends inside a record";
         return Failed;
      }
      *offset = at_;
      *length = (uint32_t)n;
      at_ += (uint64_t)n;
      left_ -= (uint64_t)n;
      return Piece;
   }
   bool Sequential() const override { return false; }
   bool Sparse() const override { return true; }
   bool Start(std::string *error) override { return headerRead_ || ReadHeader(error); }
   bool Rewind(std::string *error) override
   {
      if (!rewindable_) {
         return false;
      }
      if (!ToolsPlat_SeekStart(fd_)) {
         *error = std::string("cannot go back to its start: ") + strerror(errno);
         return false;
      }
      in_ = SalvorBufferedReader(fd_);
      headerRead_ = ended_ = false;
      at_ = left_ = 0;
      return ReadHeader(error);
   }

private:
   bool ReadHeader(std::string *error);
   bool ReadRecordHead(std::string *error);

   int fd_;
   bool rewindable_;
   SalvorBufferedReader in_;
   bool headerRead_ = false;
   bool ended_ = false;
   uint64_t at_ = 0;    // where the record's next byte belongs
   uint64_t left_ = 0;  // bytes of the record still to come
};

bool
FlatSource::ReadHeader(std::string *error)
{
   std::vector<uint8_t> header(HEADER_SIZE);
   long n = in_.Read(header.data(), header.size(), error);
   if (n < 0) {
      return false;
   }
   static const char SIGNATURE[] = "makedumpfile";
   if ((size_t)n < HEADER_SIZE ||
       std::memcmp(header.data(), SIGNATURE, sizeof SIGNATURE - 1) != 0) {
      *error = "not a flattened dump: no flattened-format header";
      return false;
   }
   headerRead_ = true;
   return true;
}

bool
FlatSource::ReadRecordHead(std::string *error)
{
   uint8_t head[16];
   long n = in_.Read(head, sizeof head, error);
   if (n < 0) {
      return false;
   }
   if ((size_t)n < sizeof head) {
      *error = "the flattened stream ends without its end marker";
      return false;
   }
   int64_t offset = SalvorSourceBigEndian64(head);
   int64_t size = SalvorSourceBigEndian64(head + 8);
   if (offset == -1 && size == -1) {
      ended_ = true;
      return true;
   }
   // An empty record is refused as makedumpfile -R refuses it: the dump
   // tools never write one, so it means the stream is damaged.
   if (offset < 0 || size <= 0) {
      *error = "bad record in the flattened stream: offset " + std::to_string(offset) +
               ", size " + std::to_string(size);
      return false;
   }
   at_ = (uint64_t)offset;
   left_ = (uint64_t)size;
   return true;
}

}  // namespace

bool
SalvorDumpSource::Reread(uint8_t *, uint64_t, uint32_t, std::string *error)
{
   *error = "this source cannot be read again";
   return false;
}

long
SalvorBufferedReader::Read(uint8_t *dst, size_t n, std::string *error)
{
   size_t got = 0;
   while (got < n) {
      if (at_ == end_) {
         long r = ToolsPlat_Read(fd_, buf_.data(), buf_.size());
         if (r < 0) {
            *error = std::string("read failed: ") + strerror(errno);
            return -1;
         }
         if (r == 0) {
            break;
         }
         at_ = 0;
         end_ = (size_t)r;
      }
      size_t take = std::min(n - got, end_ - at_);
      std::memcpy(dst + got, buf_.data() + at_, take);
      at_ += take;
      got += take;
   }
   return (long)got;
}

std::unique_ptr<SalvorDumpSource>
SalvorFileSource(int fd, uint64_t size)
{
   return std::make_unique<FileSource>(fd, size);
}

std::unique_ptr<SalvorDumpSource>
SalvorStreamSource(int fd)
{
   return std::make_unique<StreamSource>(fd);
}

std::unique_ptr<SalvorDumpSource>
SalvorFlatSource(int fd, bool rewindable)
{
   return std::make_unique<FlatSource>(fd, rewindable);
}
