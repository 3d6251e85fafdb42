// SPDX-License-Identifier: GPL-3.0-or-later
// After uploads: did each device come back, and with which firmware. Devices
// restart after taking an image, so they are asked again and again until all
// of them answered or a deadline passed.
#pragma once

#include "discover_run.h"

constexpr int DEFAULT_VERIFY_INTERVAL_MS = 10000;
constexpr int DEFAULT_VERIFY_DEADLINE_MS = 120000;
// A device still running its old image answers too, as if it were back: the
// first ask leaves it one interval to restart.
constexpr int DEFAULT_VERIFY_FIRST_ASK_MS = DEFAULT_VERIFY_INTERVAL_MS;

struct VerifyOptions {
    int interval_ms; // from one discovery's start to the next; 0: the default
    int deadline_ms; // from the call, the first ask's wait included; 0: the default
    int first_ask_ms = DEFAULT_VERIFY_FIRST_ASK_MS; // wait before the first discovery (0: at once)
    StopRequested stop_requested;                   // optional; polled at least every 100 ms
    void *context;
    // The locating run's targets and source port (DiscoverRunOptions).
    const in_addr *targets;
    int target_count;
    uint16_t source_port;
};

enum VerifyState {
    VERIFY_NOT_BACK, // no answer with the MAC before the deadline (or the stop)
    VERIFY_BACK,     // answered again
};

struct VerifyResult {
    VerifyState state;
    bool firmware_changed;   // the answer's firmware text differs from before's
    DiscoveredDevice answer; // VERIFY_BACK: the device's first answer
    int elapsed_ms;          // VERIFY_BACK: from the call to the run that heard it
};

// Asks on interfaces for each device of before (as found before the uploads)
// until every one has answered or the deadline passed; results gets one entry
// per device. A device that answers before it restarts counts as back too,
// with its firmware unchanged: first_ask_ms is there to leave it that time.
// Each run ends as soon as every device still awaited has answered, and
// also asks the devices found through a target at their reply sources. Returns
// how many came back, or -1 when no discovery could run (after a line).
int verify_devices(const DiscoverInterface *interfaces, int count, const DiscoveredDevice *before,
                   int device_count, const VerifyOptions *options, VerifyResult *results);
