// Where the collector listens and whom it hears: the listenAddress,
// allowFrom, keysFile and allowPlainFrom elements of the configuration
// file.
//
// Kept apart from SalvorConfig: both are written while the file is read
// and only read afterwards. Without either element nothing changes: the
// collector binds every IPv4 address and hears every host.
#pragma once

#include "collector/startup/salvorSettingSizes.h"
#include "lib/net/net.h"

constexpr int SALVOR_MAX_LISTEN = NET_MAX_WAIT;
constexpr int SALVOR_MAX_ALLOW = 64;
// An interface's name or number after "%" in a link-local address, and
// its NUL: as long as a whole value may be.
constexpr size_t SALVOR_ZONE_SIZE = 64;

struct SalvorNetSettings {
   // Addresses to bind, each on the configured port; none: every IPv4 address.
   NetIp listen[SALVOR_MAX_LISTEN];
   // The zone of each: the interface a link-local address is on ("" for
   // any other address, which has none).
   char listenZone[SALVOR_MAX_LISTEN][SALVOR_ZONE_SIZE];
   int listenCount;
   // Networks whose hosts are heard; none: every host.
   NetNetwork allow[SALVOR_MAX_ALLOW];
   int allowCount;
   // The keys of the hosts that seal their datagrams; empty: none do.
   char keysFile[SALVOR_PATH_SIZE];
   // With a keys file, networks whose hosts may still send plain datagrams.
   NetNetwork allowPlain[SALVOR_MAX_ALLOW];
   int allowPlainCount;
};

extern SalvorNetSettings SalvorNetConfig;

void SalvorNetConfigReset();
