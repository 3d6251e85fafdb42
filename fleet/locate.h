// SPDX-License-Identifier: GPL-3.0-or-later
// Finding many devices by MAC with one discovery run, for the exchanges that
// follow: each MAC is found (one device answers with it), missing or
// ambiguous. The command line and the window both locate through here.
#pragma once

#include "discover_run.h"

#include <vector>

enum LocateState {
    LOCATE_MISSING,   // no device answered with the MAC
    LOCATE_FOUND,     // exactly one device answered with it
    LOCATE_AMBIGUOUS, // devices at distinct reply sources or interfaces answered with it
};

// One wanted MAC and every device that answered with it, in the order heard.
// An exchange may go ahead only when the state is LOCATE_FOUND, and then with
// matches.front() alone.
struct LocateResult {
    ether_addr mac;
    LocateState state;
    std::vector<DiscoveredDevice> matches;
};

struct LocateOptions {
    int max_run_ms; // 0: DEFAULT_MAX_RUN_MS
    // Ends the run as soon as every wanted MAC has answered once. A clone
    // answering later is then missed, so this is for checks after an exchange
    // (did the device come back), not for finding devices to send to.
    bool end_when_all_answered;
    StopRequested stop_requested; // optional; polled at least every 100 ms
    void *context;                // handed to stop_requested
    // Beyond the limited broadcast (DiscoverRunOptions).
    const in_addr *targets;
    int target_count;
    uint16_t source_port;
};

// One discovery run on interfaces; out gets one result per wanted MAC, in the
// order given (a MAC given twice gets two results). heard (may be null) gets
// every device that answered, wanted or not, so a caller can tell which
// addresses are held. options may be null (all zero). Returns 0 when the run
// took place, -1 when it could not run on any interface.
int locate_devices(const DiscoverInterface *interfaces, int count, const ether_addr *macs,
                   int mac_count, const LocateOptions *options, std::vector<LocateResult> *out,
                   std::vector<DiscoveredDevice> *heard);

// Adds a device heard with result's MAC to it and updates its state; for a
// caller that already holds the devices of a run (the window's list).
void locate_add_match(LocateResult *result, const DiscoveredDevice &device);

// Keeps only the matches whose reply source or reported address is address
// (a user's choice among clones) and updates the state; 0.0.0.0 keeps all.
void locate_narrow(LocateResult *result, in_addr address);

// How many results have state; for summaries.
int locate_count(const std::vector<LocateResult> &results, LocateState state);
