// Fuzzes the collector's handling of datagrams, with a real data directory
// (a temporary one) and the slot table made once, so that dumps begun by
// one input are continued, finished or swept by later ones.
//
// Input: the first byte picks the route (bit 0: verbose, which handles
// every message on its own; bit 1: one datagram at a time through
// SalvorProcessDatagram instead of batches through SalvorProcessBatch).
// Then records, each starting with a byte whose low two bits pick the
// source host among four and whose next three bits pick the kind:
//   0-3  a well-formed init, data, done or status check, from the bytes
//        that follow: dump id, time stamp, offset (2 bytes), payload
//        length (1 byte, times 7), and with bit 5 set a declared data
//        length of its own (1 byte, times 7);
//   4    a raw datagram: its length (2 bytes; more than a buffer holds
//        means a datagram that was cut) and as many bytes as follow;
//   5    the clock moves on by the next byte in seconds, then the sweep;
//   6, 7 the batch gathered so far is handled (batches also end when full
//        and at the end of the input).
// Every 256 inputs the clock moves past the idle time, the sweep closes
// and removes every partial dump, and the data directory is emptied. Dump
// names count up within a host's minute, so a fuller directory makes every
// init try more names that are taken: emptied this often, a host still
// runs out of names when inputs ask for many dumps, but not on every init.
#include "fuzz/fuzzTmp.h"
#include <ftw.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "collector/receive/salvorServer.h"
#include "collector/receive/salvorSlots.h"
#include "collector/service/salvorWiring.h"
#include "collector/startup/salvorConfig.h"
#include "protocol/salvorProto.h"

namespace {

const uint32_t SOURCES[4] = {0x0A000001, 0x0A000002, 0xC0A80107, 0x7F000001};
const uint32_t TYPES[4] = {SALVOR_MSG_INIT, SALVOR_MSG_DATA, SALVOR_MSG_DONE,
                           SALVOR_MSG_STATUS_CHECK};
constexpr int CLEAN_EVERY = 256;

uint64_t fakeNow = 1000000;

uint64_t
FakeClock()
{
   return fakeNow;
}

struct State {
   std::unique_ptr<SalvorBatch> batch{new SalvorBatch};
   std::unique_ptr<SalvorPendingWrites> run{new SalvorPendingWrites};
   int count = 0;  // datagrams gathered in the batch
   uint64_t inputs = 0;
};

State *
GetState()
{
   static State *state = nullptr;
   if (state == nullptr) {
      std::string dirTemplate = FuzzTempTemplate("salvorFuzzData");
      char *dir = dirTemplate.data();
      if (mkdtemp(dir) == nullptr ||
          std::snprintf(SalvorConfig.dataDir, sizeof SalvorConfig.dataDir, "%s", dir) < 0) {
         std::abort();
      }
      SalvorClockUsec = FakeClock;
      SalvorWireOperations();  // the journal's tracking, as in the product
      if (!SalvorAllocSlots()) {
         std::abort();
      }
      state = new State;
   }
   return state;
}

int
RemoveEntry(const char *path, const struct stat *, int, struct FTW *ftw)
{
   if (ftw->level > 0) {
      std::remove(path);
   }
   return 0;
}

void
EmptyDataDir()
{
   fakeNow += (SALVOR_IDLE_TIMEOUT_SEC + 1) * 1000000;
   SalvorExpireIdleSlots();
   for (int i = 0; i < SALVOR_MAX_DUMPS; i++) {
      if (SalvorSlotInUse(&salvorSlots[i])) {
         std::abort();  // the sweep left a dump after its idle time
      }
   }
   nftw(SalvorConfig.dataDir, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void
CheckReply(const uint8_t *wire)
{
   salvorMsgHeader reply;
   SalvorDecodeHeader(wire, &reply);
   if (reply.magic != SALVOR_MSG_MAGIC) {
      std::abort();  // only requests with the magic are answered
   }
}

void
HandleBatch(State *state)
{
   if (state->count == 0) {
      return;
   }
   SalvorBatch *batch = state->batch.get();
   SalvorProcessBatch(batch, state->count, state->run.get());
   if (batch->outCount < 0 || batch->outCount > state->count) {
      std::abort();
   }
   for (int i = 0; i < batch->outCount; i++) {
      if (batch->out[i].length != SALVOR_HEADER_SIZE) {
         std::abort();
      }
      CheckReply(static_cast<const uint8_t *>(batch->out[i].buf));
   }
   state->count = 0;
}

// Hands one datagram (bytes in wire, `stored` of them kept, `length` its
// full length) to the route of this input.
void
Deliver(State *state, bool single, uint32_t ip, const uint8_t *wire, size_t stored,
        size_t length)
{
   if (single) {
      uint8_t buf[SALVOR_RECV_BUFFER_SIZE];
      std::memcpy(buf, wire, stored);
      uint8_t reply[SALVOR_HEADER_SIZE];
      if (SalvorProcessDatagram(buf, length, ip, reply)) {
         CheckReply(reply);
      }
      return;
   }
   SalvorBatch *batch = state->batch.get();
   int i = state->count++;
   std::memcpy(batch->bufs[i], wire, stored);
   batch->in[i] = NetDatagram{batch->bufs[i], SALVOR_RECV_BUFFER_SIZE, length,
                              NetAddr{ip, (uint16_t)(40000 + i)}};
   if (state->count == SALVOR_BATCH_SIZE) {
      HandleBatch(state);
   }
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size == 0) {
      return 0;
   }
   State *state = GetState();
   if (++state->inputs % CLEAN_EVERY == 0) {
      EmptyDataDir();
   }
   fakeNow += 1000;
   SalvorConfig.verbose = data[0] & 1;
   bool single = (data[0] & 2) != 0;

   size_t at = 1;
   auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
   while (at < size) {
      uint8_t r = data[at++];
      uint32_t ip = SOURCES[r & 3];
      int kind = (r >> 2) & 7;
      uint8_t wire[SALVOR_RECV_BUFFER_SIZE];
      if (kind < 4) {
         salvorMsgHeader hdr{};
         hdr.magic = SALVOR_MSG_MAGIC;
         hdr.type = TYPES[kind];
         uint8_t id = next();
         hdr.dumpID = id < 250 ? id % 8 : 0xFFFFFF00u | id;
         hdr.timestamp = next();
         hdr.dataOffset = next();
         hdr.dataOffset |= (uint32_t)next() << 8;
         size_t payload = (size_t)next() * 7;
         if (payload > SALVOR_MAX_PAYLOAD) {
            payload = SALVOR_MAX_PAYLOAD;
         }
         hdr.dataLength = (r & 0x20) ? (uint32_t)next() * 7 : (uint32_t)payload;
         SalvorEncodeHeader(&hdr, wire);
         std::memset(wire + SALVOR_HEADER_SIZE, 'A' + (int)(hdr.dataOffset % 26), payload);
         Deliver(state, single, ip, wire, SALVOR_HEADER_SIZE + payload,
                 SALVOR_HEADER_SIZE + payload);
      } else if (kind == 4) {
         size_t length = next();
         length |= (size_t)next() << 8;
         size_t stored = length < SALVOR_RECV_BUFFER_SIZE ? length : SALVOR_RECV_BUFFER_SIZE;
         std::memset(wire, 0, sizeof wire);
         size_t have = size - at < stored ? size - at : stored;
         std::memcpy(wire, data + at, have);
         at += have;
         Deliver(state, single, ip, wire, stored, length);
      } else if (kind == 5) {
         HandleBatch(state);
         fakeNow += (uint64_t)next() * 1000000;
         SalvorExpireIdleSlots();
      } else {
         HandleBatch(state);
      }
   }
   HandleBatch(state);
   return 0;
}
