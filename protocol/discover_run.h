// One discovery run over one or more local addresses: the loop that the
// window and the command line share.
#pragma once

#include "discover.h"

#include <net/if.h>

// A local IPv4 address that a run binds one discovery socket to. An empty
// name stands for the wildcard 0.0.0.0.
struct DiscoverInterface {
    char name[IF_NAMESIZE];
    in_addr addr;
};

constexpr int MAX_DISCOVER_INTERFACES = 64;

// Fills out with every up, broadcast-capable, non-loopback IPv4 interface
// address; returns how many (0 to max), or -1 when they cannot be listed.
int list_discover_interfaces(DiscoverInterface *out, int max);

// The interfaces a run uses by default: every broadcast-capable one, or the
// single wildcard address when there is none. Returns the count (at least 1).
int default_discover_interfaces(DiscoverInterface *out, int max);

// What a run reports, on the thread that runs it.
class DiscoverSink
{
  public:
    virtual ~DiscoverSink() = default;
    // A device whose address is new in this run.
    virtual void found(const DiscoverEntry &entry, const DiscoverInterface &where) = 0;
    // A reply skipped because its address is already listed; listed_mac is
    // the MAC of the device listed under that address.
    virtual void skipped(const DiscoverEntry &, const ether_addr & /*listed_mac*/,
                         const DiscoverInterface & /*where*/)
    {
    }
    // Polled while waiting; true ends the run early.
    virtual bool stop_requested() { return false; }
};

// Sends the discover request three times on a socket per interface, then
// acknowledges and reports replies until no datagram has arrived on any of
// them for 2 seconds. An interface whose socket cannot be opened or whose
// request cannot be sent is left out of the run. Returns 0 when the
// collection ended, -1 when no interface was left to collect on.
int discover_run(const DiscoverInterface *interfaces, int count, DiscoverSink *sink);
