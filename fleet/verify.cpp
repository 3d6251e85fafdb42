// SPDX-License-Identifier: GPL-3.0-or-later
#include "verify.h"

#include "locate.h"
#include "pause.h"

#include <algorithm>
#include <cstring>

int verify_devices(const DiscoverInterface *interfaces, int count, const DiscoveredDevice *before,
                   int device_count, const VerifyOptions *options, VerifyResult *results)
{
    const VerifyOptions chosen = options != nullptr ? *options : VerifyOptions{};
    const auto started = FleetClock::now();
    const auto deadline =
        started + std::chrono::milliseconds(chosen.deadline_ms > 0 ? chosen.deadline_ms
                                                                   : DEFAULT_VERIFY_DEADLINE_MS);
    const auto interval = std::chrono::milliseconds(
        chosen.interval_ms > 0 ? chosen.interval_ms : DEFAULT_VERIFY_INTERVAL_MS);
    for (int i = 0; i < device_count; ++i)
        results[i] = VerifyResult{};

    int back = 0;
    auto next_run = started + std::chrono::milliseconds(chosen.first_ask_ms);
    while (back < device_count) {
        if (next_run >= deadline || !pause_until(next_run, chosen.stop_requested, chosen.context))
            break;
        const auto run_started = FleetClock::now();
        // Only the devices still awaited, so the run ends once they answered.
        std::vector<int> awaited;
        std::vector<ether_addr> macs;
        std::vector<in_addr> targets;
        add_targets(&targets, chosen.targets, chosen.target_count);
        for (int i = 0; i < device_count; ++i) {
            if (results[i].state == VERIFY_BACK)
                continue;
            awaited.push_back(i);
            macs.push_back(before[i].entry.mac);
            if (before[i].target.s_addr != INADDR_ANY)
                add_targets(&targets, &before[i].source, 1);
        }
        LocateOptions locate{};
        locate.targets = targets.data();
        locate.target_count = static_cast<int>(targets.size());
        locate.source_port = chosen.source_port;
        locate.max_run_ms = std::min(ms_until(deadline), DEFAULT_MAX_RUN_MS);
        if (locate.max_run_ms == 0)
            break;
        locate.end_when_all_answered = true;
        locate.stop_requested = chosen.stop_requested;
        locate.context = chosen.context;
        std::vector<LocateResult> found;
        if (locate_devices(interfaces, count, macs.data(), static_cast<int>(macs.size()), &locate,
                           &found, nullptr) < 0)
            return -1;
        const int elapsed = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(run_started - started).count());
        for (size_t k = 0; k < awaited.size(); ++k) {
            if (found[k].matches.empty())
                continue;
            VerifyResult &result = results[awaited[k]];
            result.state = VERIFY_BACK;
            result.answer = found[k].matches.front();
            result.firmware_changed =
                std::strncmp(before[awaited[k]].entry.firmware, result.answer.entry.firmware,
                             sizeof(result.answer.entry.firmware)) != 0;
            result.elapsed_ms = elapsed;
            ++back;
        }
        next_run = run_started + interval;
    }
    return back;
}
