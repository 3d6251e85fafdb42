// SPDX-License-Identifier: GPL-3.0-or-later
// Applying a checked address plan: one device at a time, in plan order, so
// that each new address is confirmed before the next device moves. A failed
// row does not stop the rest: every row gets its own outcome.
#pragma once

#include "address_plan.h"

// How long the confirming discovery waits for the device at its new address.
constexpr int DEFAULT_CONFIRM_MS = 10000;

enum ApplyOutcome {
    APPLY_SKIPPED,     // the row has problems (or is not located); nothing sent
    APPLY_NOT_REACHED, // stopped before this row
    APPLY_FAILED,      // the setup exchange failed: report says how
    APPLY_NOT_MOVED,   // setup accepted, but the device did not answer at the new address
    APPLY_DONE,        // setup accepted and the device answered at the new address
};

struct ApplyResult {
    ApplyOutcome outcome;
    ExchangeReport report; // APPLY_FAILED, APPLY_NOT_MOVED, APPLY_DONE
    // APPLY_NOT_MOVED, APPLY_DONE: whether the device answered the confirming
    // discovery at all, and the address it reported.
    bool answered;
    in_addr answered_ip;
};

struct ApplyOptions {
    int confirm_ms; // 0: DEFAULT_CONFIRM_MS
    // Optional, called on the applying thread after each row's outcome.
    void (*row_done)(void *context, int index, const ApplyResult &result);
    StopRequested stop_requested; // optional; between rows and during waits
    void *context;                // handed to row_done and stop_requested
    // The locating run's targets and source port (DiscoverRunOptions), for
    // the setups and the confirming discoveries.
    const in_addr *targets;
    int target_count;
    uint16_t source_port;
};

// For each row without problems: the setup exchange by MAC on the interface
// where the device was found, answers taken only from its reply source; then
// discoveries on that interface, each ending as soon as the MAC answers,
// until it answers with the new address (with DHCP: at all) or confirm_ms
// passed. A device found through a target is sent its setup alone, and its
// confirming discoveries also ask its new address, which no broadcast of
// this side reaches. results gets one entry per row. Returns how many rows are
// APPLY_DONE.
int apply_plan(const PlanRow *rows, int count, const ApplyOptions *options, ApplyResult *results);
