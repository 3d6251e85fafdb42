// SPDX-License-Identifier: GPL-3.0-or-later
#include "pause.h"

#include <algorithm>
#include <thread>

bool pause_until(FleetClock::time_point until, StopRequested stop_requested, void *context)
{
    constexpr auto STOP_POLL = std::chrono::milliseconds(100);
    for (;;) {
        if (stop_requested != nullptr && stop_requested(context))
            return false;
        const auto now = FleetClock::now();
        if (now >= until)
            return true;
        std::this_thread::sleep_for(std::min<FleetClock::duration>(until - now, STOP_POLL));
    }
}

int ms_until(FleetClock::time_point until)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - FleetClock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, INT32_MAX)) : 0;
}
