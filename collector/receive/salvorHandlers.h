// The handlers of the four request types: each fills the status (and, for
// an init, the slot) of the reply that the receive loop sends back.
//
// init finds the dump's slot again or takes the lowest free one and
// creates the dump file; data writes a payload at its offset; done closes
// the file and frees the slot; a status check only answers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/net/net.h"
#include "protocol/salvorProto.h"

void SalvorHandleInit(salvorMsgHeader *reply, const char *dataDir, const NetIp &clientIP,
                      const salvorMsgHeader *request);
void SalvorHandleData(const salvorMsgHeader *request, const uint8_t *payload, const NetIp &clientIP,
                      size_t datagramLength, salvorMsgHeader *reply);
/*
 * SalvorHandleData in two halves, for a caller that writes the payloads
 * of several data messages together. SalvorCheckData makes the checks
 * (slot, position, length) with their log lines: null with the failure's
 * status set in the reply, or the slot whose file takes the payload at
 * dataOffset. SalvorFinishData turns the count written into the status;
 * `error` is the platform error of a write that fell short, which its
 * line names.
 */
struct salvorCoreDumpInfo;
salvorCoreDumpInfo *SalvorCheckData(const salvorMsgHeader *request, const NetIp &clientIP,
                                    size_t datagramLength, salvorMsgHeader *reply);
void SalvorFinishData(const salvorCoreDumpInfo *slot, const salvorMsgHeader *request,
                      const NetIp &clientIP, uint32_t payloadLength, size_t written, int error,
                      salvorMsgHeader *reply);
void SalvorHandleDone(const NetIp &clientIP, const salvorMsgHeader *request, salvorMsgHeader *reply);
void SalvorHandleStatusCheck(const NetIp &clientIP, salvorMsgHeader *reply);
