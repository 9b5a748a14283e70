// Where the bytes of a dump come from: a file of known size, read where
// it lies, or a stream (a pipe, standard input) of unknown size, read
// once from start to end, plain or in the flattened format of the kdump
// tools (records that each say where their bytes belong).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class SalvorDumpSource {
public:
   enum Result { Piece, End, Failed };

   virtual ~SalvorDumpSource() = default;
   // Checks what comes before the dump's bytes, before anything is sent.
   virtual bool Start(std::string * /*error*/) { return true; }
   /*
    * The next piece of the dump, at most `cap` bytes to be stored at
    * *offset, into dst; End after the last one. A source gives its pieces
    * at rising offsets unless Sequential() is false.
    */
   virtual Result Next(uint8_t *dst, size_t cap, uint64_t *offset, uint32_t *length,
                       std::string *error) = 0;
   // Whether a piece given before can be read again with Reread; if not,
   // the sender keeps what it may have to send again.
   virtual bool Rereadable() const { return false; }
   virtual bool Reread(uint8_t *dst, uint64_t offset, uint32_t length, std::string *error);
   // Goes back to the first piece, for the dump to be sent again; false
   // (with *error set when something failed) for a source that cannot.
   virtual bool Rewind(std::string * /*error*/) { return false; }
   // Whether pieces come at rising offsets and never overlap.
   virtual bool Sequential() const { return true; }
   // Whether the gaps between its pieces are left out on purpose: the
   // collector is told so with the done.
   virtual bool Sparse() const { return false; }
   // The dump's size when known in advance, else 0.
   virtual uint64_t Size() const { return 0; }
};

// `size` bytes of a file, read at their offsets (the descriptor stays the caller's).
std::unique_ptr<SalvorDumpSource> SalvorFileSource(int fd, uint64_t size);
// A stream read to its end as one dump (the descriptor stays the caller's).
std::unique_ptr<SalvorDumpSource> SalvorStreamSource(int fd);
/*
 * A flattened stream: a 4,096-byte header that starts with the signature
 * "makedumpfile", then records of a big-endian 64-bit offset and size
 * followed by that many bytes, ended by a record of offset and size -1.
 * Each record's bytes belong at its offset.
 */
// A regular file (`rewindable`) can be read again from its start.
std::unique_ptr<SalvorDumpSource> SalvorFlatSource(int fd, bool rewindable = false);

// Reads a descriptor through a buffer, so that small reads cost no system call each.
class SalvorBufferedReader {
public:
   explicit SalvorBufferedReader(int fd) : fd_(fd), buf_(BUFFER_SIZE) {}
   // Reads up to n bytes, fewer only at the end of the stream; -1 on error.
   long Read(uint8_t *dst, size_t n, std::string *error);

private:
   static constexpr size_t BUFFER_SIZE = 256 * 1024;
   int fd_;
   std::vector<uint8_t> buf_;
   size_t at_ = 0;
   size_t end_ = 0;
};
