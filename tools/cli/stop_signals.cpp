// SPDX-License-Identifier: GPL-3.0-or-later
#include "stop_signals.h"

#include <csignal>

namespace
{

// Set from the handler, so it must not take a lock.
static_assert(std::atomic<int>::is_always_lock_free);
BatchControl control;

void on_signal(int)
{
    batch_request_stop(&control, control.stop.load() == BATCH_RUN ? BATCH_FINISH : BATCH_ABORT);
}

} // namespace

BatchControl *catch_stop_signals()
{
    struct sigaction action {
    };
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return &control;
}

bool stop_signalled(void *)
{
    return control.stop.load() != BATCH_RUN;
}
