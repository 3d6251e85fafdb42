// SPDX-License-Identifier: GPL-3.0-or-later
// Waiting between discovery runs, stoppable like the runs themselves.
#pragma once

#include "discover.h"

#include <chrono>

using FleetClock = std::chrono::steady_clock;

// Sleeps until until, looking at stop_requested (optional) every 100 ms;
// false when it asked to stop.
bool pause_until(FleetClock::time_point until, StopRequested stop_requested, void *context);

// Milliseconds from now to until, 0 when it has passed.
int ms_until(FleetClock::time_point until);
