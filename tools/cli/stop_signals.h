// SPDX-License-Identifier: GPL-3.0-or-later
// SIGINT and SIGTERM ask a long command to stop: the first to end what is
// under way and start nothing more, a second to cut what is under way too.
#pragma once

#include "batch_install.h"

// Catches both signals from now on. The control they set, BATCH_FINISH on
// the first and BATCH_ABORT on the next, can be handed to batch_install.
BatchControl *catch_stop_signals();

// Whether a signal came; a StopRequested for runs and waits.
bool stop_signalled(void *context = nullptr);
