// The collector's receive loop and fatal exit; see salvorServer.h.
#include "collector/receive/salvorServer.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "collector/platform/salvorPlat.h"
#include "collector/receive/salvorAddress.h"
#include "collector/receive/salvorCounters.h"
#include "collector/receive/salvorDumpEvents.h"
#include "collector/receive/salvorHandlers.h"
#include "collector/receive/salvorHostLog.h"
#include "collector/receive/salvorListen.h"
#include "collector/receive/salvorLoopTasks.h"
#include "collector/receive/salvorSlots.h"
#include "collector/startup/salvorConfig.h"
#include "collector/startup/salvorNetConfig.h"
#include "collector/startup/salvorStartup.h"
#include "lib/config/preference.h"
#include "lib/file/file.h"
#include "lib/file/fileIO.h"
#include "lib/log/log.h"

namespace {

// dataOffset / 2^20 of the last debug line, shared by all clients.
uint32_t lastLoggedMB = 0;

/*
 * The loop's wake-up, for stop requests and ended hooks. It belongs to a
 * run of the loop: made once the sockets are started, and gone before
 * they are cleaned up (on Windows the clean-up would leave it a dead
 * socket). A request reads only this pointer, so that a signal handler
 * may make one, even before the loop runs (the loop then sees the flag
 * before its first wait). wakeupUsers counts the requests that hold it,
 * so that the loop frees it only once none does; both are lock-free, as
 * a signal handler needs.
 */
std::atomic<NetWakeup *> loopWakeup{nullptr};
std::atomic<int> wakeupUsers{0};

/*
 * With verbose set, one line per datagram, except that a stream of data
 * messages is logged once each time its offset reaches a new MiB.
 */
void
SalvorLogDebugLine(const salvorMsgHeader &hdr, size_t length, const NetIp &clientIP)
{
   if (hdr.type == SALVOR_MSG_DATA && hdr.dataOffset / (1u << 20) <= lastLoggedMB) {
      return;
   }
   lastLoggedMB = hdr.dataOffset / (1u << 20);
   uint32_t end = hdr.dataOffset + (uint32_t)length;
   Log("ip:%s)msg: type=%d len=%d dataOffset=%d dataLength=%d kB=%d MB=%d\n",
       SalvorAddrHex(clientIP).text,
       (int)hdr.type, (int)length, (int)hdr.dataOffset, (int)hdr.dataLength, (int)(end >> 10),
       (int)(end >> 20));
}

}  // namespace



namespace {

// Whether a datagram carries a whole header and no more than the buffer holds.
bool
SalvorIsWhole(size_t length)
{
   return length >= SALVOR_HEADER_SIZE && length <= SALVOR_RECV_BUFFER_SIZE;
}

/*
 * Says why a datagram that is not whole is dropped unanswered: it cannot
 * be handled as sent.
 */
void
SalvorLogNotWhole(size_t length, const NetIp &clientIP)
{
   // Counted even when the host's share of lines is spent.
   salvorReceiveCounters.dropped[length == 0                   ? SALVOR_DROP_EMPTY
                          : length < SALVOR_HEADER_SIZE ? SALVOR_DROP_SHORT
                                                        : SALVOR_DROP_LONG]++;
   if (!SalvorHostMayLog(clientIP)) {
      return;
   }
   SalvorAddrHex hex(clientIP);
   if (length == 0) {
      Log("ip:%s)Empty datagram. Skipping it.\n", hex.text);
   } else if (length < SALVOR_HEADER_SIZE) {
      Log("ip:%s)Datagram of %u bytes is shorter than a header. Skipping it.\n", hex.text,
          (unsigned)length);
   } else {
      Log("ip:%s)Datagram of %u bytes is longer than %u. Skipping it.\n", hex.text,
          (unsigned)length, (unsigned)SALVOR_RECV_BUFFER_SIZE);
   }
}

// The debug line and the magic of a whole datagram's decoded header.
bool
SalvorHeaderIsGood(const salvorMsgHeader &request, size_t length, const NetIp &clientIP)
{
   if (SalvorConfig.verbose) {
      SalvorLogDebugLine(request, length, clientIP);
   }
   if (request.magic != SALVOR_MSG_MAGIC) {
      salvorReceiveCounters.dropped[SALVOR_DROP_BAD_MAGIC]++;
      if (SalvorHostMayLog(clientIP)) {
         Log("Bad magic:%#x. Expected:%#x\n", request.magic, SALVOR_MSG_MAGIC);
      }
      if (SalvorHostMayLog(clientIP)) {
         Log("Skipping bad packet.\n");
      }
      return false;
   }
   salvorReceiveCounters.datagrams[SalvorDatagramTypeOf(request.type)]++;
   return true;
}

// The checks every datagram passes before its type is looked at.
bool
SalvorScreenDatagram(const uint8_t *buf, size_t length, const NetIp &clientIP,
                     salvorMsgHeader *request)
{
   if (!SalvorIsWhole(length)) {
      SalvorLogNotWhole(length, clientIP);
      return false;
   }
   SalvorDecodeHeader(buf, request);
   return SalvorHeaderIsGood(*request, length, clientIP);
}

// Hands a screened request to the handler of its type; fills the reply.
void
SalvorDispatch(const salvorMsgHeader &request, const uint8_t *buf, size_t length,
               const NetIp &clientIP, salvorMsgHeader *reply)
{
   *reply = request;
   switch (request.type) {
   case SALVOR_MSG_INIT:
      SalvorHandleInit(reply, SalvorConfig.dataDir, clientIP, &request);
      break;
   case SALVOR_MSG_DATA:
      SalvorHandleData(&request, buf + SALVOR_HEADER_SIZE, clientIP, length, reply);
      break;
   case SALVOR_MSG_DONE:
      SalvorHandleDone(clientIP, &request, reply);
      break;
   case SALVOR_MSG_STATUS_CHECK:
      SalvorHandleStatusCheck(clientIP, reply);
      break;
   default:
      if (SalvorHostMayLog(clientIP)) {
         Log("ip:%s)Unknown message type:%d\n", SalvorAddrHex(clientIP).text,
             (int)request.type);
      }
      reply->status = hxk_unknown_type;
      break;
   }
}

void
SalvorLogReply(const NetIp &clientIP, const salvorMsgHeader &reply)
{
   if (SalvorConfig.verbose) {
      Log("ip:%s)Sending reply with status %#x\n", SalvorAddrHex(clientIP).text, reply.status);
   }
}

}  // namespace

bool
SalvorProcessDatagram(const uint8_t *buf, size_t length, const NetIp &clientIP,
                      uint8_t *replyWire)
{
   if (!SalvorLoopTasksHear(clientIP)) {
      return false;
   }
   SalvorSender_SetPlain();
   salvorMsgHeader request;
   if (!SalvorScreenDatagram(buf, length, clientIP, &request)) {
      return false;
   }
   salvorMsgHeader reply;
   SalvorDispatch(request, buf, length, clientIP, &reply);
   SalvorLogReply(clientIP, reply);
   // The reply is the request's header with status (and assignedDumpID)
   // set: every other byte goes back exactly as it came.
   SalvorEncodeHeader(&reply, replyWire);
   return true;
}

namespace {

// Queues the reply to datagram `from`; its bytes are filled in later.
int
SalvorQueueReply(SalvorBatch *batch, const NetAddr &from)
{
   int i = batch->outCount++;
   batch->out[i] = NetOutgoing{batch->replies[i], SALVOR_HEADER_SIZE, from};
   batch->replyKey[i] = salvorSender.key;
   return i;
}

/*
 * Seals each reply to a sealed request with its request's key. A reply
 * that cannot be sealed is not sent: the client asks again.
 */
void
SalvorSealReplies(SalvorBatch *batch)
{
   int kept = 0;
   for (int i = 0; i < batch->outCount; i++) {
      NetOutgoing out = batch->out[i];
      if (batch->replyKey[i] >= 0) {
         out.length = SalvorSealing_SealReply(batch->replyKey[i], batch->replies[i],
                                              batch->sealedReplies[i]);
         out.buf = batch->sealedReplies[i];
         if (out.length == 0) {
            continue;
         }
      }
      batch->out[kept++] = out;
   }
   batch->outCount = kept;
}

/*
 * Writes one run's payloads with one gathering write. When it stops
 * short, each message from there on is written on its own again. Each
 * message keeps what it got, to be answered later.
 */
void
SalvorWriteRunOut(SalvorWriteRun *run, SalvorPendingWrites *pending)
{
   if (run->first < 0) {
      return;
   }
   FileIOPiece pieces[SALVOR_BATCH_SIZE];
   int n = 0;
   for (int k = run->first; k >= 0; k = pending->waiting[k].next) {
      pieces[n++] = pending->waiting[k].piece;
   }
   FileIOFile *fd = &run->slot->fd;
   size_t written = 0;
   FileIO_WriteVAt(fd, pieces, n, run->start, &written);
   for (int k = run->first; k >= 0; k = pending->waiting[k].next) {
      SalvorWaitingData *data = &pending->waiting[k];
      size_t length = data->piece.length;
      if (written >= length) {
         written -= length;
         data->written = length;
         data->error = 0;
         continue;
      }
      written = 0;
      FileIO_SetPos(fd, data->reply.dataOffset, FILEIO_SEEK_BEGIN);
      FileIOStatus status = FileIO_WriteBytes(fd, data->piece.data, length, &data->written);
      data->error = status == FILEIO_SUCCESS ? 0 : File_LastError();
   }
   run->first = -1;
}

/*
 * Writes every run still waiting, then answers every data message taken,
 * in the order they arrived, so that their lines come out in that order
 * and before those of the datagram that made the flush.
 */
void
SalvorFlushAll(SalvorPendingWrites *pending, SalvorBatch *batch)
{
   for (int r = 0; r < pending->runCount; r++) {
      SalvorWriteRunOut(&pending->runs[r], pending);
   }
   for (int k = 0; k < pending->waitingCount; k++) {
      SalvorWaitingData *data = &pending->waiting[k];
      const salvorCoreDumpInfo *slot = pending->runs[data->run].slot;
      salvorMsgHeader *reply = &data->reply;
      SalvorFinishData(slot, reply, slot->clientIP, (uint32_t)data->piece.length,
                       data->written, data->error, reply);
      SalvorLogReply(slot->clientIP, *reply);
      SalvorEncodeHeader(reply, batch->replies[data->replyIndex]);
   }
   pending->runCount = 0;
   pending->waitingCount = 0;
}

// The run, not yet written, of the dump a data message names, if any.
SalvorWriteRun *
SalvorFindRun(SalvorPendingWrites *pending, const salvorMsgHeader &request,
              const NetIp &clientIP)
{
   // Newest first: a host's messages tend to come in a row.
   for (int r = pending->runCount - 1; r >= 0; r--) {
      SalvorWriteRun *run = &pending->runs[r];
      const salvorCoreDumpInfo *slot = run->slot;
      if (run->first >= 0 && request.dumpID == (uint32_t)slot->dumpID &&
          clientIP == slot->clientIP && request.timestamp == slot->timestamp) {
         return run;
      }
   }
   return nullptr;
}

/*
 * Whether a data message of a run's dump continues the run: the next
 * offset and a payload as long as it says.
 */
bool
SalvorContinuesRun(const SalvorWriteRun &run, const salvorMsgHeader &request, size_t length)
{
   return request.dataOffset == run.end && request.dataLength <= length - SALVOR_HEADER_SIZE;
}

// Adds a checked data message to a run; its reply waits in the batch.
void
SalvorRunAdd(SalvorWriteRun *run, SalvorPendingWrites *pending, SalvorBatch *batch,
             const NetAddr &from, const salvorMsgHeader &request, const uint8_t *buf,
             size_t length)
{
   int k = pending->waitingCount++;
   size_t payload = length - SALVOR_HEADER_SIZE;
   pending->waiting[k] = SalvorWaitingData{FileIOPiece{buf + SALVOR_HEADER_SIZE, payload},
                                           request, SalvorQueueReply(batch, from),
                                           (int)(run - pending->runs), -1, 0, 0};
   if (run->first < 0) {
      run->first = k;
   } else {
      pending->waiting[run->last].next = k;
   }
   run->last = k;
   run->end += payload;
}

// Starts a run for a data message that passed its checks.
void
SalvorRunStart(SalvorPendingWrites *pending, SalvorBatch *batch, salvorCoreDumpInfo *slot,
               const NetAddr &from, const salvorMsgHeader &request, const uint8_t *buf,
               size_t length)
{
   SalvorWriteRun *run = &pending->runs[pending->runCount++];
   *run = SalvorWriteRun{slot, request.dataOffset, request.dataOffset, -1, -1};
   SalvorRunAdd(run, pending, batch, from, request, buf, length);
}

/*
 * Takes a whole data message with a good magic into the runs: it joins
 * its dump's run, or starts one once it passes the slot checks. Returns
 * false, with the reply filled in, when it fails them. A message that
 * will be refused first has every run written and answered, so that its
 * line follows theirs.
 */
bool
SalvorTakeData(SalvorPendingWrites *pending, SalvorBatch *batch, const NetAddr &from,
               const NetIp &client, const salvorMsgHeader &request, const uint8_t *buf,
               size_t length, salvorMsgHeader *reply)
{
   // Room on the data file system (always, unless space is to be kept free).
   bool roomy = SalvorDumpMayWrite(client, length - SALVOR_HEADER_SIZE);
   SalvorWriteRun *run = SalvorFindRun(pending, request, client);
   if (run != nullptr) {
      // The slot lookup cannot fail here; it marks the dump active.
      if (roomy && SalvorContinuesRun(*run, request, length) &&
          SalvorFindSlot(client, &request) == run->slot) {
         SalvorRunAdd(run, pending, batch, from, request, buf, length);
         return true;
      }
      // An earlier offset, or a gap: what came before goes to the file
      // first; its messages are answered with all the others.
      SalvorWriteRunOut(run, pending);
   }
   salvorCoreDumpInfo *slot;
   if (roomy && SalvorSlotMatches(client, &request) &&
       request.dataLength <= length - SALVOR_HEADER_SIZE) {
      // Cannot fail, so logs nothing; it marks the dump active. The run
      // is written at its own offset: no positioning is needed here.
      slot = SalvorFindSlot(client, &request);
   } else {
      SalvorFlushAll(pending, batch);
      slot = SalvorCheckData(&request, client, length, reply);
      if (slot == nullptr) {
         return false;
      }
   }
   SalvorRunStart(pending, batch, slot, from, request, buf, length);
   return true;
}

// Sends the batch's replies, each to its request's source, in order.
void
SalvorSendReplies(NetSocket sock, const SalvorBatch *batch)
{
   int at = 0;
   while (at < batch->outCount) {
      int sent = Net_SendBatch(sock, batch->out + at, batch->outCount - at);
      if (sent < 0) {
         Log("Error sending reply: %s.\n", Net_ErrorText(Net_LastError()));
         at++;  // no second attempt
      } else {
         at += sent > 0 ? sent : 1;
      }
   }
}

/*
 * With keys configured: opens a sealed datagram (*buf and *length then
 * stand for the plain one), or lets a plain one through from inside
 * allowPlainFrom. False for a datagram to drop unanswered, counted, and
 * said within its host's share of lines; a datagram of a dump whose key
 * was removed ends that dump.
 */
bool
SalvorOpenDatagram(SalvorBatch *batch, SalvorPendingWrites *pending, int i, const NetIp &client,
                   const uint8_t **buf, size_t *length)
{
   size_t plainLength = 0;
   SalvorScreenResult result =
      SalvorSealing_Screen(*buf, *length, client, batch->plain[i], &plainLength);
   if (result == SALVOR_SCREEN_PLAIN) {
      return true;
   }
   if (result == SALVOR_SCREEN_OPENED) {
      *buf = batch->plain[i];
      *length = plainLength;
      return true;
   }
   SalvorFlushAll(pending, batch);  // the lines of earlier messages come first
   SalvorSealing_ReportDrop(result, *length, client);
   if (result == SALVOR_SCREEN_REVOKED && plainLength >= SALVOR_HEADER_SIZE) {
      salvorMsgHeader request;
      SalvorDecodeHeader(batch->plain[i], &request);
      if (request.magic == SALVOR_MSG_MAGIC) {
         SalvorEndRevokedDump(client, &request);
      }
   }
   return false;
}

}  // namespace

void
SalvorProcessBatch(SalvorBatch *batch, int count, SalvorPendingWrites *pending)
{
   batch->outCount = 0;
   pending->runCount = 0;
   pending->waitingCount = 0;
   SalvorSender_SetPlain();
   bool sealing = SalvorSealing_Active();
   for (int i = 0; i < count; i++) {
      const uint8_t *buf = batch->bufs[i];
      size_t length = batch->in[i].length;
      const NetAddr &from = batch->in[i].from;
      NetIp client = Net_AddrIp(from);
      if (!SalvorLoopTasksHear(client)) {
         continue;  // no reply, no file
      }
      if (sealing && !SalvorOpenDatagram(batch, pending, i, client, &buf, &length)) {
         continue;
      }
      salvorMsgHeader request;
      if (!SalvorIsWhole(length)) {
         SalvorFlushAll(pending, batch);  // the lines of earlier messages come first
         SalvorLogNotWhole(length, client);
         continue;
      }
      SalvorDecodeHeader(buf, &request);
      if (request.magic != SALVOR_MSG_MAGIC) {
         SalvorFlushAll(pending, batch);
      }
      if (!SalvorHeaderIsGood(request, length, client)) {
         continue;
      }
      salvorMsgHeader reply = request;
      if (request.type == SALVOR_MSG_DATA && !SalvorConfig.verbose) {
         if (SalvorTakeData(pending, batch, from, client, request, buf, length, &reply)) {
            continue;
         }
      } else {
         SalvorFlushAll(pending, batch);
         SalvorDispatch(request, buf, length, client, &reply);
      }
      SalvorLogReply(client, reply);
      SalvorEncodeHeader(&reply, batch->replies[SalvorQueueReply(batch, from)]);
   }
   SalvorFlushAll(pending, batch);
   if (sealing) {
      SalvorSealReplies(batch);
   }
   SalvorSender_SetPlain();
}


namespace {

// The idle sweep: silent hosts' slots, the revoked keys no dump uses any more, the tasks'.
void
SalvorIdleSweep(uint64_t *lastSweep)
{
   SalvorExpireIdleSlots();
   SalvorSealing_ForgetRevoked(SalvorKeyInUse);
   SalvorLoopTasksIdleSweep();
   *lastSweep = SalvorClockUsec();
}

/*
 * The idle sweep runs every SALVOR_SELECT_TIMEOUT_SEC seconds whatever the
 * traffic: a wait that ends empty is not enough, as one host that sends
 * now and then would otherwise keep every silent host's slot and file.
 */
void
SalvorSweepIfDue(uint64_t *lastSweep)
{
   if (SalvorClockUsec() - *lastSweep >= (uint64_t)SALVOR_SELECT_TIMEOUT_SEC * 1000000u) {
      SalvorIdleSweep(lastSweep);
   }
   SalvorSealing_ReloadIfChanged(SalvorKeyInUse);
   SalvorLoopTasksEachPass();
}

/*
 * When hundreds of hosts send at once, their windows of data messages
 * arrive together: the socket holds them while the loop catches up.
 * 1,024 hosts with a few 1,600-byte messages each, counted with the
 * kernel's overhead per datagram, need about this much; with less the
 * kernel drops datagrams, and every drop costs its host a timeout.
 */
constexpr int SALVOR_SOCKET_RECV_BUFFER = 16 << 20;

void
SalvorSetReceiveBuffer(NetSocket sock)
{
   int granted = 0;
   int rc = Net_SetReceiveBuffer(sock, SALVOR_SOCKET_RECV_BUFFER, true, &granted);
   if (rc != 0 || granted < SALVOR_SOCKET_RECV_BUFFER) {
      Warning("The socket's receive buffer is %d bytes, not the %d asked for: datagrams may "
              "be dropped when many hosts send at once.\n", granted,
              SALVOR_SOCKET_RECV_BUFFER);
   } else {
      Log("The socket's receive buffer is %d bytes.\n", granted);
   }
}

// Descriptors for every slot's file, plus the socket, the log and room for
// its rotation and the libraries' own files.
constexpr uint64_t SALVOR_SPARE_FILES = 64;

void
SalvorEnsureFileLimit()
{
   uint64_t wanted = (uint64_t)SALVOR_MAX_DUMPS + SALVOR_SPARE_FILES;
   uint64_t limit = 0;
   if (!SalvorPlat_RaiseOpenFileLimit(wanted, &limit)) {
      Warning("The limit on open files is %llu and cannot be raised to %llu: fewer than %d "
              "dumps may be open at once.\n", (unsigned long long)limit,
              (unsigned long long)wanted, SALVOR_MAX_DUMPS);
   }
}

}  // namespace

namespace {

// Ends the loop's current wait; safe from a signal handler.
void
SalvorWakeLoop()
{
   wakeupUsers.fetch_add(1);
   NetWakeup *wakeup = loopWakeup.load();
   if (wakeup != nullptr) {
      Net_WakeupSignal(wakeup);
   }
   wakeupUsers.fetch_sub(1);
}

// Takes the wake-up from the requesters and frees it once none holds it.
void
SalvorReleaseWakeup(NetWakeup *wakeup)
{
   loopWakeup.store(nullptr);
   while (wakeupUsers.load() != 0) {
      std::this_thread::yield();
   }
   Net_WakeupDestroy(wakeup);
}

// The loop's wait: the sweep's period, or less when a task needs the loop sooner.
int
SalvorLoopWaitMs()
{
   // The keys file is looked at once a second.
   int most = SalvorSealing_Active() ? 1000 : SALVOR_SELECT_TIMEOUT_SEC * 1000;
   return SalvorLoopTasksWaitMs(most);
}

}  // namespace

void
SalvorServerRequestStop()
{
   SalvorConfig.stopRequested = true;
   SalvorWakeLoop();
}

namespace {

// What the loop keeps from pass to pass; made once, so that nothing is
// allocated per datagram.
struct SalvorLoopState {
   NetSocket socks[SALVOR_MAX_LISTEN];
   int count;
   NetWakeup *wakeup;
   std::unique_ptr<SalvorBatch> batch{new SalvorBatch};
   std::unique_ptr<SalvorPendingWrites> pending{new SalvorPendingWrites};
   std::unique_ptr<NetRecvSet, void (*)(NetRecvSet *)> recvSet{nullptr, Net_RecvSetDestroy};
   uint64_t lastSweep;
};

/*
 * Receives what waits on one socket, up to a batch, with one call, and
 * answers it from that socket. The call waits up to timeoutMs only when
 * nothing is waiting, and such a wait that ends empty runs the idle sweep.
 */
void
SalvorServeSocket(SalvorLoopState *loop, NetSocket sock, NetWakeup *wakeup, int timeoutMs)
{
   int got = Net_RecvBatch(sock, wakeup, loop->recvSet.get(), timeoutMs);
   // Read at once: nothing may come between the failed call and its error.
   int recvError = got < 0 ? Net_LastError() : 0;
   // Lines that the log's throttle held back go out as soon as it lifts.
   Log_FlushPending();
   SalvorHostLogFlush();
   SalvorLoopTasksAfterWait();
   if (got == NET_RECV_TIMED_OUT) {
      if (timeoutMs > 0) {
         SalvorIdleSweep(&loop->lastSweep);
      }
      return;
   }
   // A signal (the operator's stop, a hook's end) interrupts a wait as
   // the wake-up does.
   if (got == NET_RECV_WOKEN || (got < 0 && Net_Interrupted(recvError))) {
      return;
   }
   if (got < 0) {
      if (!Net_IsTransientReceiveError(recvError)) {
         SalvorFatal("Recvfrom error:%s.\n", Net_ErrorText(recvError));
      }
      Log("Recvfrom error:%s. Going on.\n", Net_ErrorText(recvError));
      return;
   }
   // Every reply goes out after the whole batch has been handled: a
   // status 0 is sent only once the data it stands for is written.
   SalvorProcessBatch(loop->batch.get(), got, loop->pending.get());
   SalvorLoopTasksBeforeReplies();
   SalvorSendReplies(sock, loop->batch.get());
}

// With several sockets: waits for any of them, then serves each readable one.
void
SalvorServeAny(SalvorLoopState *loop)
{
   bool readable[SALVOR_MAX_LISTEN];
   int ready = Net_WaitAnyReadable(loop->socks, loop->count, loop->wakeup, SalvorLoopWaitMs(),
                                   readable);
   if (ready == -1 && !Net_Interrupted(Net_LastError())) {
      SalvorFatal("Select error: %s.\n", Net_ErrorText(Net_LastError()));
   }
   if (ready == 0) {
      Log_FlushPending();
      SalvorHostLogFlush();
      SalvorLoopTasksAfterWait();
      SalvorIdleSweep(&loop->lastSweep);
   }
   for (int i = 0; ready > 0 && i < loop->count; i++) {
      if (readable[i]) {
         SalvorServeSocket(loop, loop->socks[i], nullptr, 0);
      }
   }
}

void
SalvorLoopSetUp(SalvorLoopState *loop)
{
   std::string why;
   if (!SalvorSealing_Start(&why)) {
      SalvorFatal("Cannot use the keys file: %s.\n", why.c_str());
   }
   loop->count = SalvorOpenListenSockets(loop->socks);
   for (int i = 0; i < loop->count; i++) {
      SalvorSetReceiveBuffer(loop->socks[i]);
   }
   SalvorEnsureFileLimit();
   if (!SalvorAllocSlots()) {
      SalvorFatal("Could not allocate memory for salvorCoreDumpInfo\n");
   }
   SalvorHostLogReset();
   loop->lastSweep = SalvorClockUsec();
   loop->wakeup = Net_WakeupCreate();
   loopWakeup.store(loop->wakeup);
   // With one socket the wake-up also ends a receive that blocks, so that
   // the receive can be the wait; without that, the loop waits with a poll.
   if (loop->wakeup != nullptr && loop->count == 1) {
      Net_WakeupAttach(loop->wakeup, loop->socks[0]);
   }
   SalvorBatch *batch = loop->batch.get();
   for (int i = 0; i < SALVOR_BATCH_SIZE; i++) {
      // A longer datagram is told apart by the length the socket layer reports.
      batch->in[i] = NetDatagram{
         batch->bufs[i], SalvorSealing_Active() ? SALVOR_SEALED_BUFFER_SIZE : SALVOR_RECV_BUFFER_SIZE,
         0, {}};
   }
   loop->recvSet.reset(Net_RecvSetCreate(batch->in, SALVOR_BATCH_SIZE));
   if (!loop->recvSet) {
      SalvorFatal("Could not allocate memory for the receive batch\n");
   }
   SalvorLoopTasksStart(SalvorWakeLoop);
}

}  // namespace

int
SalvorServerLoop(void (*onListening)())
{
   SalvorLoopState loop;
   SalvorLoopSetUp(&loop);
   if (onListening != nullptr) {
      onListening();
   }
   while (!SalvorConfig.stopRequested) {
      SalvorSweepIfDue(&loop.lastSweep);
      if (loop.count == 1) {
         SalvorServeSocket(&loop, loop.socks[0], loop.wakeup, SalvorLoopWaitMs());
      } else {
         SalvorServeAny(&loop);
      }
   }

   if (loop.wakeup != nullptr) {
      Net_WakeupDetach(loop.wakeup);
      SalvorReleaseWakeup(loop.wakeup);
   }
   Log("Stopping network coredump server now.\n");
   SalvorStopAllDumps();
   SalvorFreeSlots();
   SalvorSealing_Stop();
   SalvorLoopTasksStop();
   for (int i = 0; i < loop.count; i++) {
      Net_Close(loop.socks[i]);
   }
   Net_Cleanup();
   Preference_Exit();
   return 0;
}
