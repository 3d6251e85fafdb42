// SPDX-License-Identifier: GPL-3.0-or-later
#include "apply_plan.h"

#include "pause.h"

namespace
{

// Between two confirming runs that heard the device at its old address, so
// a device that takes a moment to move is not flooded with requests.
constexpr auto CONFIRM_GAP = std::chrono::milliseconds(500);

// Discoveries on the device's interface until it answers at ip (with dhcp:
// at all) or until passes. The device's last answer goes to result.
void confirm_move(const PlanRow &row, FleetClock::time_point until, const ApplyOptions &options,
                  ApplyResult *result)
{
    std::vector<in_addr> targets;
    add_targets(&targets, options.targets, options.target_count);
    if (row.device.target.s_addr != INADDR_ANY && !row.dhcp)
        add_targets(&targets, &row.ip, 1);
    LocateOptions locate{};
    locate.targets = targets.data();
    locate.target_count = static_cast<int>(targets.size());
    locate.source_port = options.source_port;
    locate.end_when_all_answered = true;
    locate.stop_requested = options.stop_requested;
    locate.context = options.context;
    for (;;) {
        locate.max_run_ms = ms_until(until);
        if (locate.max_run_ms == 0)
            return;
        const auto run_started = FleetClock::now();
        std::vector<LocateResult> found;
        if (locate_devices(&row.device.where, 1, &row.mac, 1, &locate, &found, nullptr) < 0)
            return;
        if (!found.front().matches.empty()) {
            result->answered = true;
            result->answered_ip = found.front().matches.back().entry.ipaddr;
            if (row.dhcp || result->answered_ip.s_addr == row.ip.s_addr) {
                result->outcome = APPLY_DONE;
                return;
            }
        }
        if (!pause_until(run_started + CONFIRM_GAP, options.stop_requested, options.context))
            return;
    }
}

} // namespace

int apply_plan(const PlanRow *rows, int count, const ApplyOptions *options, ApplyResult *results)
{
    const ApplyOptions chosen = options != nullptr ? *options : ApplyOptions{};
    const auto confirm =
        std::chrono::milliseconds(chosen.confirm_ms > 0 ? chosen.confirm_ms : DEFAULT_CONFIRM_MS);
    int done = 0;
    bool stopped = false;
    for (int i = 0; i < count; ++i) {
        const PlanRow &row = rows[i];
        ApplyResult &result = results[i];
        result = ApplyResult{};
        stopped =
            stopped || (chosen.stop_requested != nullptr && chosen.stop_requested(chosen.context));
        if (stopped) {
            result.outcome = APPLY_NOT_REACHED;
        } else if (row.problems != 0 || !row.located) {
            result.outcome = APPLY_SKIPPED;
        } else {
            ExchangeOptions exchange = exchange_options_for(row.device, chosen.source_port);
            exchange.stop_requested = chosen.stop_requested;
            exchange.context = chosen.context;
            if (do_setup_report(&row.device.where.addr, &row.mac, &row.ip, &row.netmask,
                                row.dhcp ? 1 : 0, &exchange, &result.report) < 0) {
                result.outcome = APPLY_FAILED;
            } else {
                result.outcome = APPLY_NOT_MOVED;
                confirm_move(row, FleetClock::now() + confirm, chosen, &result);
            }
        }
        done += result.outcome == APPLY_DONE;
        if (chosen.row_done != nullptr)
            chosen.row_done(chosen.context, i, result);
    }
    return done;
}
