// SPDX-License-Identifier: GPL-3.0-or-later
// setup on many devices: a plan from a file or counted up, checked against
// what the locating discovery heard (and what the inventory remembers), then
// applied a device at a time unless --dry-run. SIGINT or SIGTERM lets the
// row under way end and reaches no more, a second one cuts that row too.
#include "apply_plan.h"
#include "commands.h"
#include "fleet_commands.h"
#include "remembered.h"
#include "stop_signals.h"
#include "values.h"

#include <cstdio>

namespace
{

// What a row came to: the plan's verdict alone with --dry-run.
struct RowOutcome {
    const char *word; // ready, skipped, done, refused, failed, not moved, not reached
    std::string reason;
    bool success;
};

std::string problems_text(unsigned problems)
{
    char text[256];
    return plan_problems_text(problems, text, sizeof(text));
}

RowOutcome outcome_of(const PlanRow &row, const ApplyResult *applied)
{
    if (applied == nullptr)
        return row.problems == 0 ? RowOutcome{"ready", "", true}
                                 : RowOutcome{"skipped", problems_text(row.problems), false};
    switch (applied->outcome) {
    case APPLY_SKIPPED:
        return {"skipped", problems_text(row.problems), false};
    case APPLY_NOT_REACHED:
        return {"not reached", "", false};
    case APPLY_FAILED: {
        const ExchangeFailure failure = exchange_failure(true, "", applied->report);
        return {applied->report.stage == STAGE_REFUSED ? "refused" : "failed", failure.text, false};
    }
    case APPLY_NOT_MOVED:
        return {"not moved",
                applied->answered ? "answered at " + ipv4_text(applied->answered_ip)
                                  : "did not answer afterwards",
                false};
    case APPLY_DONE:
        break;
    }
    return {"done", "", true};
}

std::string new_address_text(const PlanRow &row)
{
    if (row.dhcp)
        return "DHCP";
    if (row.problems & PLAN_PAST_SUBNET_END)
        return "none";
    return ipv4_text(row.ip) + " " + ipv4_text(row.netmask);
}

std::string line_of(const PlanRow &row, const RowOutcome &o)
{
    const std::string current = row.located ? ipv4_text(row.device.entry.ipaddr) : "-";
    std::string line =
        mac_text(row.mac) + " (" + current + ") \u2192 " + new_address_text(row) + ": " + o.word;
    if (std::string(o.word) == "refused")
        return line + o.reason.substr(o.reason.find(':'));
    return o.reason.empty() ? line : line + ": " + o.reason;
}

Record record_of(const PlanRow &row, const RowOutcome &o, const ApplyResult *applied)
{
    std::string keys;
    for (int i = 0; i < PLAN_PROBLEM_KINDS; ++i) {
        if ((row.problems & 1u << i) == 0)
            continue;
        if (!keys.empty())
            keys += ' ';
        keys += plan_problem_key(1u << i);
    }
    const bool answered = applied != nullptr && applied->answered;
    const bool past_end = row.problems & PLAN_PAST_SUBNET_END;
    return {
        {"mac", "", mac_text(row.mac)},
        {"line", "", std::to_string(row.line), FieldKind::Bare, row.line == 0},
        {"ip", "", row.located ? ipv4_text(row.device.entry.ipaddr) : "", FieldKind::Bytes,
         !row.located},
        {"source", "", row.located ? ipv4_text(row.device.source) : "", FieldKind::Bytes,
         !row.located},
        {"interface", "", row.located ? row.device.where.name : "", FieldKind::Bytes, !row.located},
        {"new_ip", "", ipv4_text(row.ip), FieldKind::Bytes, past_end},
        {"new_netmask", "", ipv4_text(row.netmask)},
        {"dhcp", "", row.dhcp ? "true" : "false", FieldKind::Bare},
        {"problems", "", keys, FieldKind::List},
        {"outcome", "", o.word, FieldKind::Text},
        {"reason", "", o.reason, FieldKind::Text, o.reason.empty()},
        {"answered_ip", "", answered ? ipv4_text(applied->answered_ip) : "", FieldKind::Bytes,
         !answered},
    };
}

// The addresses remembered devices hold, which a counted plan skips too.
bool remembered_addresses(const CliCommand &command, std::vector<HeldAddress> *held)
{
    if (!command.use_inventory)
        return true;
    const std::unique_ptr<Inventory> inventory = open_inventory(command);
    if (inventory == nullptr)
        return false;
    for (const RememberedDevice &device : inventory->devices()) {
        HeldAddress address{};
        if (parse_mac(device.mac.toStdString(), &address.mac) &&
            parse_ipv4(device.address.toStdString(), &address.address) &&
            address.address.s_addr != INADDR_ANY)
            held->push_back(address);
    }
    return true;
}

// Prints each row's line as soon as it is applied, so a long plan shows
// where it is.
struct Progress {
    const std::vector<PlanRow> *rows;
    bool lines;
    const BatchControl *stop;
    bool reach_no_more; // a first signal came before the last row ended
};

void row_applied(void *context, int index, const ApplyResult &result)
{
    Progress *progress = static_cast<Progress *>(context);
    progress->reach_no_more = progress->stop->stop.load() != BATCH_RUN;
    if (!progress->lines)
        return;
    const PlanRow &row = (*progress->rows)[index];
    std::printf("%s\n", line_of(row, outcome_of(row, &result)).c_str());
    std::fflush(stdout);
}

// apply_plan asks between rows and while a row waits: a first signal is
// heard only once the row it came in has ended.
bool apply_stopped(void *context)
{
    const Progress *progress = static_cast<const Progress *>(context);
    return progress->reach_no_more || progress->stop->stop.load() == BATCH_ABORT;
}

} // namespace

int run_fleet_setup(const CliCommand &command)
{
    const BatchControl *stop = catch_stop_signals();
    std::vector<PlanRow> rows = command.plan;
    std::vector<ether_addr> macs = command.macs;
    if (macs.empty())
        for (const PlanRow &row : rows)
            macs.push_back(row.mac);
    std::vector<LocateResult> located;
    std::vector<DiscoveredDevice> heard;
    if (const int status = locate_for_command(command, macs.data(), static_cast<int>(macs.size()),
                                              &located, &heard, nullptr);
        status != STATUS_OK)
        return status;
    std::vector<HeldAddress> held;
    held_addresses(heard, &held);
    if (!remembered_addresses(command, &held))
        return STATUS_FAILED;
    if (rows.empty())
        count_plan(macs.data(), static_cast<int>(macs.size()), command.from, command.netmask,
                   held.data(), static_cast<int>(held.size()), &rows);
    std::vector<LocalAddress> locals;
    if (list_local_addresses(&locals) < 0) {
        print_cli_error("cannot list the local addresses, so no subnet can be checked");
        return STATUS_FAILED;
    }
    check_plan(&rows, located, held.data(), static_cast<int>(held.size()), locals);

    const bool json = command.format == OutputFormat::Json;
    std::vector<ApplyResult> applied(rows.size());
    if (!command.dry_run) {
        Progress progress{&rows, !json, stop, stop->stop.load() != BATCH_RUN};
        ApplyOptions options{};
        options.row_done = row_applied;
        options.stop_requested = apply_stopped;
        options.context = &progress;
        options.targets = command.targets.data();
        options.target_count = static_cast<int>(command.targets.size());
        options.source_port = command.source_port;
        apply_plan(rows.data(), static_cast<int>(rows.size()), &options, applied.data());
    }
    bool all_well = true;
    std::vector<Record> records;
    std::vector<std::string> lines;
    for (size_t i = 0; i < rows.size(); ++i) {
        const ApplyResult *result = command.dry_run ? nullptr : &applied[i];
        const RowOutcome o = outcome_of(rows[i], result);
        all_well = all_well && o.success;
        records.push_back(record_of(rows[i], o, result));
        if (command.dry_run)
            lines.push_back(line_of(rows[i], o));
    }
    if (!print_fleet_output(command, records, lines))
        return STATUS_FAILED;
    return all_well ? STATUS_OK : STATUS_FAILED;
}
