// The collector's sockets: one bound to every IPv4 address, or one per
// configured listen address (IPv4 or IPv6), each on the configured port.
#pragma once

#include "collector/startup/salvorNetConfig.h"
#include "lib/net/net.h"

/*
 * Starts the socket library and opens and binds the sockets into socks
 * (room for SALVOR_MAX_LISTEN); returns how many. Any failure is fatal.
 * An IPv6 socket on "::" also hears IPv4 hosts (as IPv4-mapped addresses)
 * unless an IPv4 address is listed as well, which then has them.
 */
int SalvorOpenListenSockets(NetSocket *socks);
