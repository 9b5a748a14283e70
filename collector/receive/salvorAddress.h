// A client's address in the collector's lines and paths. IPv4 hosts look
// as they always have (an IPv4-mapped IPv6 source is such a host); IPv6
// hosts have the same shapes with 16-bit groups in place of bytes.
#pragma once

#include <cstddef>

#include "lib/net/net.h"

// "10.20.30.40" or "2001:db8::1".
struct SalvorAddrText {
   char text[NET_IP_TEXT_SIZE];
   explicit SalvorAddrText(const NetIp &ip) { Net_FormatIp(ip, text, sizeof text); }
};

/*
 * The address as one lower-case hexadecimal number without leading zeros,
 * as lines that begin "ip:" show it: "a141e28" for 10.20.30.40,
 * "20010db8000000000000000000000001" for 2001:db8::1.
 */
struct SalvorAddrHex {
   char text[33];
   explicit SalvorAddrHex(const NetIp &ip);
};

/*
 * The levels of a host's directory below the data directory, which also
 * make the address part of its dump names: the four numbers of an IPv4
 * address in decimal, or the eight groups of an IPv6 address in lower-case
 * hexadecimal, each without leading zeros.
 */
struct SalvorHostLevels {
   char text[8][5];
   const char *levels[8];
   int count;
   explicit SalvorHostLevels(const NetIp &ip);
   // The levels joined by `separator` into buf; negative when it does not fit.
   int Join(const char *separator, char *buf, size_t size) const;
};

// Whether `name` has the shape of a level: an IPv4 number (`v4`) or an IPv6 group.
bool SalvorIsHostLevel(const char *name, bool v4);
/*
 * The host whose directory has these levels, read back as SalvorHostLevels
 * writes them (4 numbers or 8 groups); false for any other shape, and for
 * 8 groups of an IPv4-mapped address, which is kept as its IPv4 host.
 */
bool SalvorHostOfLevels(const char *const *levels, int count, NetIp *ip);
