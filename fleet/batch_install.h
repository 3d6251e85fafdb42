// SPDX-License-Identifier: GPL-3.0-or-later
// One image uploaded to many located devices, a few at a time. Each upload is
// the protocol's own install exchange (do_install_report) from the interface
// where its device was found, taking answers only from the device's reply
// source. The device's one-second pause before the connection is the reason
// for uploading in parallel: the pauses overlap.
#pragma once

#include "discover_run.h"

#include <atomic>
#include <vector>

constexpr int DEFAULT_PARALLEL_UPLOADS = 4;
constexpr int MAX_PARALLEL_UPLOADS = 32;

// How a batch is asked to end early, from any thread.
enum BatchStop {
    BATCH_RUN = 0,    // not asked
    BATCH_FINISH = 1, // uploads under way end normally; no more start
    BATCH_ABORT = 2,  // uploads under way are cancelled too
};

// Shared between the thread running the batch and the one that stops it;
// start zeroed (BATCH_RUN).
struct BatchControl {
    std::atomic<int> stop{BATCH_RUN};
};
// A later BATCH_FINISH does not soften an earlier BATCH_ABORT.
void batch_request_stop(BatchControl *control, BatchStop how);

// The callbacks run on the batch's worker threads, several at once for
// different devices, never twice at once for one device: a window hands them
// on with queued signals. index is the device's place in the batch's array.
struct BatchCallbacks {
    void (*started)(void *context, int index);                                 // optional
    void (*progress)(void *context, int index, uint64_t sent, uint64_t total); // optional
    void (*finished)(void *context, int index, const ExchangeReport &report);  // optional
    void *context;
};

struct BatchInstallOptions {
    int parallel;           // 1 to MAX_PARALLEL_UPLOADS; 0: DEFAULT_PARALLEL_UPLOADS
    int stall_timeout_ms;   // 0: the protocol's default
    int connect_timeout_ms; // 0: the protocol's default
    BatchCallbacks callbacks;
};

struct BatchResult {
    bool started;          // false: the batch was stopped before this device's turn
    ExchangeReport report; // when started: how the exchange ended
};

// Uploads image to every device (count of them), at most options->parallel
// at once, in the array's order; results gets one entry per device. Devices
// must be located ones (state LOCATE_FOUND); control may be null. Returns how
// many uploads ended in STAGE_DONE, or -1 with nothing sent when the image
// cannot be uploaded or parallel is out of range (after a line).
int batch_install(const DiscoveredDevice *devices, int count, const char *image,
                  const BatchInstallOptions *options, BatchControl *control, BatchResult *results);

// The devices whose upload did not end in STAGE_DONE (not started ones too),
// for a second try: appends them to out in order and returns how many.
int batch_failed_devices(const DiscoveredDevice *devices, const BatchResult *results, int count,
                         std::vector<DiscoveredDevice> *out);
