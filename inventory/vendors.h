// SPDX-License-Identifier: GPL-3.0-or-later
// The organisation the IEEE assigned a MAC's prefix to, from the registry
// that Debian's ieee-data package installs.
#pragma once

#include <QString>
#include <netinet/ether.h>

// "locally administered" for such MACs; the registered organisation
// otherwise; empty when the prefix is not registered or the registry is not
// installed. The registry is read once, on the first call from any thread.
QString vendorForMac(const ether_addr &mac);
// The same for a MAC in text ("02:00:7f:01:00:01"); empty when it is not one.
QString vendorForMac(const QString &mac);

// Where the registry is read from: /usr/share/ieee-data by default. Only
// before the first lookup, for tests.
void setVendorRegistryFolder(const QString &folder);
