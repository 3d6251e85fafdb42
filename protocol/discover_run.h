// SPDX-License-Identifier: GPL-3.0-or-later
// One discovery run over one or more local addresses: the loop that the
// window and the command line share.
#pragma once

#include "discover.h"

#include <net/if.h>
#include <vector>

// A local IPv4 address that a run binds one discovery socket to. An empty
// name stands for the wildcard 0.0.0.0.
struct DiscoverInterface {
    char name[IF_NAMESIZE];
    in_addr addr;
};

// A device as a run reports it: its reply, the interface that heard it, and
// the address the reply came from, to which its setup and install exchanges
// are bound. target is the run's target that reached it (its address or its
// subnet's broadcast address), 0.0.0.0 when the limited broadcast did: such
// a device is behind a router, and its exchanges go to source alone.
struct DiscoveredDevice {
    DiscoverEntry entry;
    DiscoverInterface where;
    in_addr source;
    in_addr target;
};

// An IPv4 address of an interface that is up, with the interface's flags
// (IFF_BROADCAST, IFF_LOOPBACK, ...) and the netmask of its subnet.
struct LocalAddress {
    DiscoverInterface where;
    unsigned flags;
    in_addr netmask;
};

// Appends every IPv4 address of an interface that is up to out; returns how
// many, or -1 (after a line) when they cannot be listed.
int list_local_addresses(std::vector<LocalAddress> *out);

// Whether a run uses the address: broadcast-capable and not loopback.
inline bool is_discover_address(const LocalAddress &local)
{
    return (local.flags & IFF_BROADCAST) && !(local.flags & IFF_LOOPBACK);
}

// Appends every up, broadcast-capable, non-loopback IPv4 interface address
// to out; returns how many, or -1 when they cannot be listed.
int list_discover_interfaces(std::vector<DiscoverInterface> *out);

// The interfaces a run uses by default: every broadcast-capable one, or the
// single wildcard address when there is none.
std::vector<DiscoverInterface> default_discover_interfaces();
inline bool is_wildcard(const DiscoverInterface &where)
{
    return where.name[0] == '\0';
}

// What a run reports, on the thread that runs it.
class DiscoverSink
{
  public:
    virtual ~DiscoverSink() = default;
    // A device heard for the first time in this run: a MAC, address and
    // reply source not reported before. Devices that share an address each
    // come once.
    virtual void found(const DiscoveredDevice &device) = 0;
    // Polled while waiting; true ends the run early.
    virtual bool stop_requested() { return false; }
};

// How long a run may last at most, however busy the network.
constexpr int DEFAULT_MAX_RUN_MS = 30000;
// The silence after the last new reply that ends a run.
constexpr int RUN_SILENCE_MS = 2000;

// Sends the discover request three times on a socket per interface, then
// acknowledges replies of this run's session and reports each new device,
// until no new device has answered for 2 seconds, or max_run_ms have passed.
// Replies sent to the limited broadcast address are heard too. An interface
// whose socket cannot be opened or whose request cannot be sent is left out
// of the run. Returns 0 when the collection ended, -1 when no interface was
// left to collect on.
int discover_run(const DiscoverInterface *interfaces, int count, DiscoverSink *sink,
                 int max_run_ms = DEFAULT_MAX_RUN_MS);

// What one interface of a run saw: requests that went out from its socket
// (its targets' included), datagrams that came in, and replies of the run's
// session among them.
struct DiscoverInterfaceStats {
    int requests_sent;
    int datagrams_received;
    int valid_replies;
};

// What a run adds to the limited broadcast; all zero is discover_run's own.
struct DiscoverRunOptions {
    int max_run_ms; // 0: DEFAULT_MAX_RUN_MS
    // Addresses the requests also go to, each from the interface its route
    // leaves by: subnets' broadcast addresses or devices' own addresses
    // beyond a router. Their devices' replies are acknowledged to the device.
    const in_addr *targets;
    int target_count;
    uint16_t source_port; // 0: the system picks the sockets' port
    // Nonzero: only the targets are asked, not the limited broadcast.
    int targets_only;
    // Null, or one per interface, in the order given, counted up by the run.
    DiscoverInterfaceStats *stats;
};
int discover_run_with(const DiscoverInterface *interfaces, int count, DiscoverSink *sink,
                      const DiscoverRunOptions &options);

// The options of an exchange with a device a run found: only its replies
// count, and a device found through a target is asked at its address alone.
ExchangeOptions exchange_options_for(const DiscoveredDevice &device, uint16_t source_port);

// Appends the addresses of more to targets, but not 0.0.0.0 and none twice:
// a run asks each target once however often it is named.
void add_targets(std::vector<in_addr> *targets, const in_addr *more, int count);
