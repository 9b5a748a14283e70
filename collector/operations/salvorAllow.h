// Whom the collector hears: with allowFrom networks configured, a datagram
// from any other host gets no reply and no file. Such datagrams are
// counted, and logged at most once a minute per host; the table of hosts
// is small and fixed, so nothing is allocated per datagram, and hosts that
// find it full share one more entry ("other addresses").
#pragma once

#include <cstdint>

#include "lib/net/net.h"

constexpr int SALVOR_REFUSED_TABLE = 64;
constexpr uint64_t SALVOR_REFUSED_LOG_USEC = 60 * 1000000ull;

// Has the loop screen every datagram (call once before it runs).
void SalvorAllowSubscribe();
// Whether datagrams from `client` are heard: always, without allowFrom.
bool SalvorIsAllowed(const NetIp &client);
/*
 * Counts a datagram refused from `client`; logs the host's count when its
 * last line is a minute old or more. Returns whether it logged.
 */
bool SalvorNoteRefused(const NetIp &client);
// Logs the counts not yet logged whose host's last line is a minute old.
void SalvorFlushRefused();
// Datagrams refused since the loop started.
uint64_t SalvorRefusedTotal();
void SalvorRefusedReset();
