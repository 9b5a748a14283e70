// The collector's server: the UDP receive loop that checks each datagram,
// hands it to the handler of its type and answers it, with the idle sweep
// between datagrams.
#pragma once

#include <cstdint>

#include "lib/net/net.h"
#include "protocol/salvorProto.h"

constexpr int SALVOR_SELECT_TIMEOUT_SEC = 5;

// Runs until stopRequested is set; returns 0.
int SalvorServerLoop();
/*
 * Sets stopRequested and ends the loop's current wait, so that the loop
 * stops at once instead of at the end of its wait. Safe from any thread.
 */
void SalvorServerRequestStop();
bool SalvorOpenSocket(NetSocket *sock);

/*
 * Checks and answers one received datagram of `length` bytes (the
 * datagram's full length, which may exceed what the buffer holds).
 * Returns true when the reply to send is in `replyWire`.
 */
bool SalvorProcessDatagram(const uint8_t *buf, size_t length, uint32_t clientIP,
                           uint8_t *replyWire);
