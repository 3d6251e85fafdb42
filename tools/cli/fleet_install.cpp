// SPDX-License-Identifier: GPL-3.0-or-later
// install on many devices: the located ones get the image, a few at a time,
// and with --verify each is asked for until it answers again. SIGINT or
// SIGTERM lets the uploads under way end and starts no more, a second one
// cuts them; every device gets its line all the same.
#include "batch_install.h"
#include "commands.h"
#include "fleet_commands.h"
#include "stop_signals.h"
#include "values.h"
#include "verify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{

// What became of one MAC of the command; the pointers are null for a step
// it did not reach.
struct InstallOutcome {
    const LocateResult *located;
    const BatchResult *upload;
    const VerifyResult *verify;
    bool stopped; // by a signal, so one not heard again was not asked for long enough
};

struct Described {
    const char *outcome; // done, refused, failed, not found, ambiguous, not started
    std::string reason;
    bool success;
};

Described describe(const std::string &image, const InstallOutcome &o)
{
    if (o.located->state == LOCATE_MISSING)
        return {"not found", "no device answered with the MAC", false};
    if (o.located->state == LOCATE_AMBIGUOUS) {
        int count = 0;
        const std::string sources = answering_sources(*o.located, &count);
        return {"ambiguous", "answered by " + std::to_string(count) + " devices: " + sources,
                false};
    }
    if (!o.upload->started)
        return {"not started", "the batch was stopped first", false};
    const ExchangeReport &report = o.upload->report;
    if (report.stage == STAGE_DONE)
        return {"done", "", o.verify == nullptr || o.verify->state == VERIFY_BACK};
    const ExchangeFailure failure = exchange_failure(false, image, report);
    return {report.stage == STAGE_REFUSED ? "refused" : "failed", failure.text, false};
}

const char *not_back_text(const InstallOutcome &o)
{
    return o.stopped ? "not checked: stopped" : "did not come back";
}

std::string verify_text(const DiscoveredDevice &before, const InstallOutcome &o)
{
    const VerifyResult &verify = *o.verify;
    if (verify.state != VERIFY_BACK)
        return not_back_text(o);
    const std::string old_firmware = firmware_text(before.entry);
    if (!verify.firmware_changed)
        return "came back, firmware " + old_firmware + " (unchanged)";
    return "came back, firmware " + old_firmware + " \u2192 " + firmware_text(verify.answer.entry);
}

std::string line_of(const InstallOutcome &o, const Described &d)
{
    std::string line = mac_text(o.located->mac);
    if (o.located->state != LOCATE_FOUND)
        return line + ": skipped: " + d.outcome + " (" + d.reason + ")";
    const DiscoveredDevice &device = o.located->matches.front();
    line += " (" + ipv4_text(device.source) + "): ";
    if (std::strcmp(d.outcome, "done") != 0)
        return line +
               (std::strcmp(d.outcome, "refused") == 0 ? "" : d.outcome + std::string(": ")) +
               d.reason;
    line += "done, " + std::to_string(o.upload->report.acked) + " bytes";
    if (o.verify != nullptr)
        line += "; " + verify_text(device, o);
    return line;
}

Record record_of(const InstallOutcome &o, const Described &d)
{
    const bool found = o.located->state == LOCATE_FOUND;
    const DiscoveredDevice *device = found ? &o.located->matches.front() : nullptr;
    const bool uploaded = found && o.upload->started;
    const bool back = o.verify != nullptr && o.verify->state == VERIFY_BACK;
    return {
        {"mac", "", mac_text(o.located->mac)},
        {"ip", "", found ? ipv4_text(device->source) : "", FieldKind::Bytes, !found},
        {"interface", "", found ? device->where.name : "", FieldKind::Bytes, !found},
        {"outcome", "", d.outcome, FieldKind::Text},
        {"reason", "", d.reason, FieldKind::Text, d.reason.empty()},
        {"bytes", "", uploaded ? std::to_string(o.upload->report.acked) : "", FieldKind::Bare,
         !uploaded},
        {"verify", "", back ? "came back" : not_back_text(o), FieldKind::Text, o.verify == nullptr},
        {"firmware_before", "", found ? device->entry.firmware : "", FieldKind::Bytes, !found},
        {"firmware_after", "", back ? o.verify->answer.entry.firmware : "", FieldKind::Bytes,
         !back},
    };
}

} // namespace

int run_fleet_install(const CliCommand &command)
{
    BatchControl *stop = catch_stop_signals();
    const int count = static_cast<int>(command.macs.size());
    std::vector<LocateResult> located;
    std::vector<DiscoverInterface> interfaces;
    if (const int status =
            locate_for_command(command, command.macs.data(), count, &located, nullptr, &interfaces);
        status != STATUS_OK)
        return status;

    // Missing and ambiguous MACs are skipped; the rest go ahead.
    std::vector<DiscoveredDevice> targets;
    std::vector<int> target_of(count, -1);
    for (int i = 0; i < count; ++i) {
        if (located[i].state != LOCATE_FOUND)
            continue;
        target_of[i] = static_cast<int>(targets.size());
        targets.push_back(located[i].matches.front());
    }
    std::vector<BatchResult> uploads(targets.size());
    BatchInstallOptions options{};
    options.parallel = command.parallel;
    options.stall_timeout_ms = command.timeout_ms;
    options.connect_timeout_ms = command.timeout_ms;
    if (!targets.empty() &&
        batch_install(targets.data(), static_cast<int>(targets.size()), command.image.c_str(),
                      &options, stop, uploads.data()) < 0) {
        print_cli_error("image '" + command.image + "' can no longer be uploaded; nothing sent");
        return STATUS_USAGE;
    }

    // Only the devices that took the whole image are asked for again.
    std::vector<DiscoveredDevice> done;
    std::vector<int> verify_of(targets.size(), -1);
    for (size_t t = 0; t < targets.size(); ++t) {
        if (uploads[t].report.stage != STAGE_DONE)
            continue;
        verify_of[t] = static_cast<int>(done.size());
        done.push_back(targets[t]);
    }
    std::vector<VerifyResult> verified(done.size());
    const bool verifying = command.verify_ms > 0 && !done.empty();
    if (verifying) {
        VerifyOptions verify{};
        // --verify's time counts from the first ask.
        verify.first_ask_ms = command.verify_delay_ms;
        verify.stop_requested = stop_signalled;
        verify.targets = command.targets.data();
        verify.target_count = static_cast<int>(command.targets.size());
        verify.source_port = command.source_port;
        verify.deadline_ms = static_cast<int>(
            std::min<long long>(INT32_MAX, 0LL + command.verify_delay_ms + command.verify_ms));
        if (verify_devices(interfaces.data(), static_cast<int>(interfaces.size()), done.data(),
                           static_cast<int>(done.size()), &verify, verified.data()) < 0) {
            print_cli_error("the check afterwards could not run on any interface");
            return STATUS_FAILED;
        }
    }

    const bool stopped = stop_signalled();
    bool all_well = true;
    std::vector<Record> records;
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        const int t = target_of[i];
        const int v = t >= 0 ? verify_of[t] : -1;
        const InstallOutcome o{&located[i], t >= 0 ? &uploads[t] : nullptr,
                               verifying && v >= 0 ? &verified[v] : nullptr, stopped};
        const Described d = describe(command.image, o);
        all_well = all_well && d.success;
        records.push_back(record_of(o, d));
        lines.push_back(line_of(o, d));
    }
    if (!print_fleet_output(command, records, lines))
        return STATUS_FAILED;
    return all_well ? STATUS_OK : STATUS_FAILED;
}
