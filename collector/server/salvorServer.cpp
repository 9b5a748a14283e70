// The collector's receive loop and fatal exit; see salvorServer.h.
#include "collector/server/salvorServer.h"


#include "collector/startup/salvorConfig.h"
#include "collector/server/salvorHandlers.h"
#include "collector/platform/salvorPlat.h"
#include "collector/server/salvorSlots.h"
#include "collector/startup/salvorStartup.h"
#include "lib/config/preference.h"
#include "lib/log/log.h"

namespace {

// dataOffset / 2^20 of the last debug line, shared by all clients.
uint32_t lastLoggedMB = 0;

// Ends the loop's wait when a stop is requested from another thread. Made
// once and kept for the process, so a request never meets a freed one.
NetWakeup *
StopWakeup()
{
   static NetWakeup *wakeup = Net_WakeupCreate();
   return wakeup;
}

/*
 * With verbose set, one line per datagram, except that a stream of data
 * messages is logged once each time its offset reaches a new MiB.
 */
void
LogDebugLine(const salvorMsgHeader &hdr, size_t length, uint32_t clientIP)
{
   if (hdr.type == SALVOR_MSG_DATA && hdr.dataOffset / (1u << 20) <= lastLoggedMB) {
      return;
   }
   lastLoggedMB = hdr.dataOffset / (1u << 20);
   uint32_t end = hdr.dataOffset + (uint32_t)length;
   Log("ip:%x)msg: type=%d len=%d dataOffset=%d dataLength=%d kB=%d MB=%d\n", clientIP,
       (int)hdr.type, (int)length, (int)hdr.dataOffset, (int)hdr.dataLength, (int)(end >> 10),
       (int)(end >> 20));
}

}  // namespace


bool
SalvorOpenSocket(NetSocket *sock)
{
   if (!SalvorWin32InitWinsock()) {
      SalvorFatal("Failed to initialize winsock interface");
   }
   *sock = Net_UdpSocket();
   if (*sock < 0) {
      SalvorFatal("Couldn't create socket (returned %d): %s\n", *sock,
                  Net_ErrorText(Net_LastError()));
   }
   if (Net_Bind(*sock, 0, (uint16_t)(SalvorConfig.port & 0xffff)) != 0) {
      SalvorFatal("Couldn't bind socket to port %d: %s\n", SalvorConfig.port,
                  Net_ErrorText(Net_LastError()));
   }
   return true;
}


bool
SalvorProcessDatagram(const uint8_t *buf, size_t length, uint32_t clientIP, uint8_t *replyWire)
{
   // Datagrams that carry no whole header, or more than the buffer holds,
   // are dropped unanswered: neither can be handled as sent.
   if (length == 0) {
      Log("ip:%x)Empty datagram. Skipping it.\n", clientIP);
      return false;
   }
   if (length < SALVOR_HEADER_SIZE) {
      Log("ip:%x)Datagram of %u bytes is shorter than a header. Skipping it.\n", clientIP,
          (unsigned)length);
      return false;
   }
   if (length > SALVOR_RECV_BUFFER_SIZE) {
      Log("ip:%x)Datagram of %u bytes is longer than %u. Skipping it.\n", clientIP,
          (unsigned)length, (unsigned)SALVOR_RECV_BUFFER_SIZE);
      return false;
   }
   salvorMsgHeader request;
   SalvorDecodeHeader(buf, &request);
   if (SalvorConfig.verbose) {
      LogDebugLine(request, length, clientIP);
   }
   if (request.magic != SALVOR_MSG_MAGIC) {
      Log("Bad magic:%#x. Expected:%#x\n", request.magic, SALVOR_MSG_MAGIC);
      Log("Skipping bad packet.\n");
      return false;
   }
   salvorMsgHeader reply = request;
   switch (request.type) {
   case SALVOR_MSG_INIT:
      SalvorHandleInit(&reply, SalvorConfig.dataDir, clientIP, &request);
      break;
   case SALVOR_MSG_DATA:
      SalvorHandleData(&request, buf + SALVOR_HEADER_SIZE, clientIP, length, &reply);
      break;
   case SALVOR_MSG_DONE:
      SalvorHandleDone(clientIP, &request, &reply);
      break;
   case SALVOR_MSG_STATUS_CHECK:
      SalvorHandleStatusCheck(clientIP, &reply);
      break;
   default:
      Log("ip:%x)Unknown message type:%d\n", clientIP, (int)request.type);
      reply.status = hxk_unknown_type;
      break;
   }
   if (SalvorConfig.verbose) {
      Log("ip:%x)Sending reply with status %#x\n", clientIP, reply.status);
   }
   // The reply is the request's header with status (and assignedDumpID)
   // set: every other byte goes back exactly as it came.
   SalvorEncodeHeader(&reply, replyWire);
   return true;
}

namespace {

/*
 * The idle sweep runs every SALVOR_SELECT_TIMEOUT_SEC seconds whatever the
 * traffic: a wait that ends empty is not enough, as one host that sends
 * now and then would otherwise keep every silent host's slot and file.
 */
void
SalvorSweepIfDue(uint64_t *lastSweep)
{
   uint64_t now = SalvorClockUsec();
   if (now - *lastSweep >= (uint64_t)SALVOR_SELECT_TIMEOUT_SEC * 1000000u) {
      SalvorExpireIdleSlots();
      *lastSweep = now;
   }
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

void
SalvorServerRequestStop()
{
   SalvorConfig.stopRequested = true;
   NetWakeup *wakeup = StopWakeup();
   if (wakeup != nullptr) {
      Net_WakeupSignal(wakeup);
   }
}

int
SalvorServerLoop()
{
   NetSocket sock;
   if (!SalvorOpenSocket(&sock)) {
      SalvorFatal("Could not create or bind socket. Quitting...\n");
   }
   SalvorSetReceiveBuffer(sock);
   SalvorEnsureFileLimit();
   if (!SalvorAllocSlots()) {
      SalvorFatal("Could not allocate memory for salvorCoreDumpInfo\n");
   }
   uint64_t lastSweep = SalvorClockUsec();
   NetWakeup *wakeup = StopWakeup();

   // A longer datagram is told apart by the length the socket layer reports.
   uint8_t buf[SALVOR_RECV_BUFFER_SIZE];
   uint8_t replyWire[SALVOR_HEADER_SIZE];
   while (!SalvorConfig.stopRequested) {
      SalvorSweepIfDue(&lastSweep);
      // Take what is waiting without a wait: under load that saves a system
      // call per datagram. Only an empty socket is waited on, up to 5
      // seconds, and a wait that ends empty runs the idle sweep.
      NetAddr from;
      size_t length = 0;
      long got = Net_RecvFrom(sock, buf, sizeof buf, &from, &length, true);
      if (got < 0 && Net_WouldBlock(Net_LastError())) {
         int ready = Net_WaitReadableOrWakeup(sock, wakeup, SALVOR_SELECT_TIMEOUT_SEC * 1000);
         if (ready < 0) {
            int err = Net_LastError();
            if (!Net_IsTransientReceiveError(err)) {
               SalvorFatal("Select error: %s.\n", Net_ErrorText(err));
            }
            Log("Select error: %s. Going on.\n", Net_ErrorText(err));
         } else if (ready == 0) {
            SalvorExpireIdleSlots();
            lastSweep = SalvorClockUsec();
         }
         Log_FlushPending();
         continue;
      }
      if (got < 0) {
         int err = Net_LastError();
         if (!Net_IsTransientReceiveError(err)) {
            SalvorFatal("Recvfrom error:%s.\n", Net_ErrorText(err));
         }
         Log("Recvfrom error:%s. Going on.\n", Net_ErrorText(err));
         continue;
      }
      // Lines that the log's throttle held back go out as soon as it lifts.
      Log_FlushPending();
      if (!SalvorProcessDatagram(buf, length, from.ip, replyWire)) {
         continue;
      }
      long sent = Net_SendTo(sock, replyWire, SALVOR_HEADER_SIZE, &from);
      if (sent < 0) {
         Log("Error sending reply: %s.\n", Net_ErrorText(Net_LastError()));
      } else if (sent != (long)SALVOR_HEADER_SIZE) {
         Log("Error: did not send full buffer (socket %d). Tried to send %u bytes. "
             "Only %u sent.\n", sock, (unsigned)SALVOR_HEADER_SIZE, (unsigned)sent);
      }
   }

   Log("Stopping network coredump server now.\n");
   SalvorFreeSlots();
   Net_Cleanup();
   Preference_Exit();
   return 0;
}
