// Elements whose value is an address or a network. Blanks around the
// value are ignored.
#pragma once

#include "collector/startup/salvorElementRow.h"

// Each returns 0, or -1 with the reason in the init log.
/*
 * An IPv4 or IPv6 literal; a link-local one (fe80::/10) names its
 * interface after a "%", and no other takes one. The same address on the
 * same interface is refused the second time.
 */
int SalvorReadListenAddressElement(const SalvorElementRow &row, const char *name,
                                   const char *text);
// An address and its prefix length without host bits set, or a bare
// address (one host).
int SalvorReadNetworkElement(const SalvorElementRow &row, const char *name, const char *text);
