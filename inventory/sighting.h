// SPDX-License-Identifier: GPL-3.0-or-later
// A device a run found, as the inventory takes it: one conversion for the
// window and the command line.
#pragma once

#include "discover.h"
#include "inventory.h"

// The inventory's key for a MAC: its padded text ("02:00:7f:01:00:01").
QString mac_key(const ether_addr &mac);

// The reply's texts, the host name and firmware as Latin-1 up to their
// field's end even without a terminator; interface empty for the wildcard.
Sighting sighting_of(const DiscoverEntry &entry, const char *interface);
