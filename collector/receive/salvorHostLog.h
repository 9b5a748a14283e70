// One host cannot silence the log for everyone.
//
// Lines about one host's datagrams (malformed, refused, for no dump of
// its own, and the other lines a single datagram can cause) are limited
// per host to SALVOR_HOST_LINES_PER_SEC a second. A host that sends more
// is quiet for the rest of that second, and the quiet spell ends with one
// line "Suppressed N lines about <address>". A flood from one host thus
// costs the log a few lines a second, stays below the log's own
// throttle, and the lines of other hosts' dumps are written.
//
// The table of hosts is small and fixed: nothing is allocated per
// datagram. When it is full of hosts seen this second, the others share
// one more entry ("other addresses").
#pragma once

#include "lib/net/net.h"

constexpr int SALVOR_HOST_LINES_PER_SEC = 10;
constexpr int SALVOR_HOST_LOG_TABLE = 64;

/*
 * Whether a line about `client`'s datagram may be logged now; counts it
 * when not. A host whose quiet spell is over first has its "Suppressed"
 * line logged.
 */
bool SalvorHostMayLog(const NetIp &client);
// Logs the "Suppressed" line of every quiet spell that is over. Cheap
// when there is none.
void SalvorHostLogFlush();
// Forgets every host (a new loop, or a test).
void SalvorHostLogReset();
