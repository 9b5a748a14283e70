// Thin platform layer under the collector's UDP endpoint.
//
// Stands for the socket library's calls (start-up, socket, bind, the wait
// for a readable socket, receive, send, clean-up). Failures return a
// negative value with the error in SalvorNet_LastError(); the POSIX back
// end (salvorNetPosix.cpp) uses BSD sockets and errno. Every call passes
// the failure seam of lib/misc/platFault.h.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int SalvorSocket;

// An IPv4 address (host order, first number of the dotted quad in the
// most significant byte) and port.
struct SalvorNetAddr {
   uint32_t ip;
   uint16_t port;
};

// Starts the socket library asking for `version` (major in the low byte);
// returns 0 and the granted version, or an error code.
int SalvorNet_Startup(uint16_t version, uint16_t *granted);
// Stops the socket library; disposes of every socket it made.
void SalvorNet_Cleanup();

SalvorSocket SalvorNet_UdpSocket();
int SalvorNet_Bind(SalvorSocket sock, uint32_t ip, uint16_t port);
// 1 when readable, 0 when the wait timed out, negative on error.
int SalvorNet_WaitReadable(SalvorSocket sock, int timeoutSec);
/*
 * Receives one datagram into buf. Returns the number of bytes stored, or
 * negative on error. *datagramLength receives the datagram's full length,
 * which exceeds the return value when the datagram did not fit. With
 * dontWait, a socket with nothing to receive fails at once with an error
 * for which SalvorNet_WouldBlock holds.
 */
long SalvorNet_RecvFrom(SalvorSocket sock, void *buf, size_t len,
                        SalvorNetAddr *from, size_t *datagramLength, bool dontWait);
long SalvorNet_SendTo(SalvorSocket sock, const void *buf, size_t len,
                      const SalvorNetAddr *to);

int SalvorNet_LastError();
const char *SalvorNet_ErrorText(int err);
/*
 * Whether a receive error is one that a remote host can provoke (an
 * earlier reply refused by its port, an interrupted call) rather than a
 * fault of the socket itself.
 */
bool SalvorNet_IsTransientReceiveError(int err);
bool SalvorNet_WouldBlock(int err);
