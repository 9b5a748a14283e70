// The collector's server: the UDP receive loop that checks each datagram,
// hands it to the handler of its type and answers it, with the idle sweep
// between datagrams.
#pragma once

#include <cstdint>

#include "collector/receive/salvorSealing.h"
#include "collector/receive/salvorSlots.h"
#include "lib/file/fileTypes.h"
#include "lib/net/net.h"
#include "protocol/salvorProto.h"

constexpr int SALVOR_SELECT_TIMEOUT_SEC = 5;
// Datagrams the loop receives, and replies it sends, with one call.
constexpr int SALVOR_BATCH_SIZE = 64;
static_assert(SALVOR_BATCH_SIZE <= NET_MAX_BATCH, "one receive fills a whole batch");

/*
 * Runs until stopRequested is set; returns 0. `onListening`, when given,
 * is called once the socket is bound and the loop is about to receive.
 */
int SalvorServerLoop(void (*onListening)() = nullptr);
/*
 * Sets stopRequested and ends the loop's current wait, so that the loop
 * stops at once instead of at the end of its wait. Safe from any thread
 * and from a signal handler.
 */
void SalvorServerRequestStop();

/*
 * Checks and answers one received plain datagram of `length` bytes (the
 * datagram's full length, which may exceed what the buffer holds).
 * Returns true when the reply to send is in `replyWire`.
 */
bool SalvorProcessDatagram(const uint8_t *buf, size_t length, const NetIp &clientIP,
                           uint8_t *replyWire);

/*
 * What one pass of the loop receives and answers. Made once per loop:
 * nothing is allocated per datagram.
 */
struct SalvorBatch {
   // Room for a sealed datagram; without keys only SALVOR_RECV_BUFFER_SIZE is received.
   uint8_t bufs[SALVOR_BATCH_SIZE][SALVOR_SEALED_BUFFER_SIZE];
   uint8_t plain[SALVOR_BATCH_SIZE][SALVOR_RECV_BUFFER_SIZE];  // each opened datagram
   NetDatagram in[SALVOR_BATCH_SIZE];
   uint8_t replies[SALVOR_BATCH_SIZE][SALVOR_HEADER_SIZE];
   int replyKey[SALVOR_BATCH_SIZE];  // the key that seals each reply; -1: sent plain
   uint8_t sealedReplies[SALVOR_BATCH_SIZE][SALVOR_SEALED_REPLY_SIZE];
   NetOutgoing out[SALVOR_BATCH_SIZE];
   int outCount;
};

/*
 * Data messages of one dump, in the order they arrived, each starting
 * where the one before ends: their payloads go to the file in one
 * gathering write. Their replies wait in the batch until it is done.
 */
struct SalvorWriteRun {
   salvorCoreDumpInfo *slot;  // the dump; its host, time stamp and slot number
   uint64_t start;
   uint64_t end;
   int first;  // its messages in SalvorPendingWrites::waiting, a chain
   int last;   // through their `next`; first is -1 once it is written
};

/*
 * A checked data message whose payload waits for its run's write, and
 * then, with what the write did, for its answer.
 */
struct SalvorWaitingData {
   FileIOPiece piece;
   salvorMsgHeader reply;
   int replyIndex;  // in SalvorBatch::replies
   int run;         // in SalvorPendingWrites::runs
   int next;        // the run's next message, or -1
   size_t written;  // once its run is written: its bytes that reached the file,
   int error;       // and the platform error when that is not all of them
};

/*
 * The runs of one batch. Hosts that send at once have their messages
 * interleaved in a batch, so each dump keeps a run of its own: a dump's
 * messages are written together however many other hosts' messages
 * arrived between them.
 */
struct SalvorPendingWrites {
   SalvorWriteRun runs[SALVOR_BATCH_SIZE];
   int runCount;
   SalvorWaitingData waiting[SALVOR_BATCH_SIZE];
   int waitingCount;
};

/*
 * Handles the first `count` datagrams of batch->in (their buffers, full
 * lengths and sources), in the order they arrived, and leaves their
 * replies in batch->out (batch->outCount of them, in the same order). A
 * data message that continues its dump's run (the next offset) joins it
 * after its slot check; another offset of that dump first has the run
 * written. Any other datagram (a refused data message, any other request,
 * anything dropped) first has every run written, so that every request
 * sees the files and the slot table as the requests before it left them;
 * the dumps' files are independent of one another, so the order in which
 * different dumps' runs reach their files does not matter. Data messages
 * are answered, with their lines, in the order they arrived, before any
 * line of a later datagram, as if each were handled on its own. With
 * verbose set, every message is handled on its own, for its lines.
 * `pending` is scratch space.
 */
void SalvorProcessBatch(SalvorBatch *batch, int count, SalvorPendingWrites *pending);
