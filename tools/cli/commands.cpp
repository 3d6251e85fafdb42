// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "doctor.h"
#include "fleet_commands.h"
#include "progress_bar.h"
#include "remembered.h"
#include "remembered_run.h"
#include "site_import.h"
#include "values.h"
#include "vendors.h"
#include "watch.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <utility>

namespace
{

int run_discover(const CliCommand &command)
{
    if (command.watch_ms > 0)
        return run_watch(command);
    // Opened before the run, which asks the devices it remembers.
    const std::unique_ptr<Inventory> inventory =
        command.use_inventory ? open_inventory(command) : nullptr;
    RowCollector collector;
    if (const int status = run_discovery(command, &collector, nullptr, inventory.get());
        status != STATUS_OK)
        return status;
    mark_conflicts(&collector.rows);
    // A run that cannot be remembered is still listed.
    int status = STATUS_OK;
    if (command.use_inventory &&
        (inventory == nullptr ||
         !remember_run(inventory.get(), QDateTime::currentDateTimeUtc(), &collector.rows, nullptr)))
        status = STATUS_FAILED;
    // The protocol's lines never go to stdout (main), so it carries the
    // document alone.
    const std::string out = format_rows(collector.rows, command.format);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? status : STATUS_FAILED;
}

// A line per check on stdout; any problem makes the status 1.
int run_doctor_command(const CliCommand &command)
{
    DoctorOptions options;
    options.source_port = command.source_port;
    options.probe = command.probe;
    options.targets = command.targets;
    int status = STATUS_OK;
    for (const DoctorLine &line : run_doctor(options)) {
        std::printf("%s\n", doctor_line_text(line).c_str());
        if (line.severity == DOCTOR_PROBLEM)
            status = STATUS_FAILED;
    }
    return std::fflush(stdout) == 0 ? status : STATUS_FAILED;
}

// The one device the exchange may talk to, or null after printing why there
// is none.
const DiscoveredDevice *pick_device(const CliCommand &command, LocateResult *located)
{
    const in_addr wanted = command.address;
    locate_narrow(located, wanted);
    const std::vector<DiscoveredDevice> *matches = &located->matches;
    const std::string mac = mac_text(command.mac);
    if (located->state == LOCATE_MISSING) {
        const std::string at = wanted.s_addr != INADDR_ANY ? " at " + ipv4_text(wanted) : "";
        print_cli_error("no device with MAC " + mac + at +
                        " answered the discovery; no request sent");
        return nullptr;
    }
    if (located->state == LOCATE_AMBIGUOUS) {
        int count = 0;
        const std::string list = answering_sources(*located, &count);
        print_cli_error(mac + " is answered by " + std::to_string(count) + " devices: " + list +
                        "; pick one with --address; no request sent");
        return nullptr;
    }
    return &matches->front();
}

// One line for how the exchange with the device at source ended; failures on
// stderr.
int report_outcome(const CliCommand &command, in_addr source, const ExchangeReport &report)
{
    const bool setup = command.kind == CommandKind::Setup;
    const std::string device = mac_text(command.mac) + " (" + ipv4_text(source) + ")";
    if (report.stage == STAGE_DONE && setup)
        std::printf("setup of %s: success\n", device.c_str());
    else if (report.stage == STAGE_DONE)
        std::printf("install on %s: image sent, %llu bytes\n", device.c_str(),
                    static_cast<unsigned long long>(report.acked));
    if (report.stage == STAGE_DONE)
        return STATUS_OK;
    const ExchangeFailure failure = exchange_failure(setup, command.image, report);
    if (!failure.about_device)
        print_cli_error(failure.text);
    else
        print_cli_error(device + (report.stage == STAGE_REFUSED ? " " : ": ") + failure.text);
    return STATUS_FAILED;
}

// Finds the one device that answers with the MAC (the one at --address
// among several) and runs the exchange with it alone, from the interface
// that heard it.
int run_exchange(const CliCommand &command)
{
    std::vector<LocateResult> located;
    if (const int status = locate_for_command(command, &command.mac, 1, &located, nullptr, nullptr);
        status != STATUS_OK)
        return status;
    const DiscoveredDevice *device = pick_device(command, &located.front());
    if (device == nullptr)
        return STATUS_FAILED;
    // Only the located device's replies count, and the upload waits no
    // longer than --timeout for it.
    // The run's socket is closed by now, so its port is free again.
    ExchangeOptions options = exchange_options_for(*device, command.source_port);
    options.stall_timeout_ms = command.timeout_ms;
    options.connect_timeout_ms = command.timeout_ms;
    ExchangeReport report{};
    if (command.kind == CommandKind::Setup) {
        do_setup_report(&device->where.addr, &command.mac, &command.ipaddr, &command.netmask,
                        command.dhcp ? 1 : 0, &options, &report);
    } else {
        ProgressBar bar(stderr);
        if (isatty(STDERR_FILENO)) {
            options.progress = &ProgressBar::hook;
            options.context = &bar;
        }
        do_install_report(&device->where.addr, &command.mac, command.image.c_str(), &options,
                          &report);
    }
    return report_outcome(command, device->source, report);
}

} // namespace

bool select_interfaces(const CliCommand &command, std::vector<DiscoverInterface> *out,
                       bool *fallbackSaid)
{
    if (command.interface_name.empty() && command.bind.empty()) {
        *out = default_discover_interfaces();
        const bool fallback = out->size() == 1 && is_wildcard(out->front());
        if (fallback && (fallbackSaid == nullptr || !std::exchange(*fallbackSaid, true)))
            print_cli_error(
                "no interface that can broadcast; asking through the default route only");
        return true;
    }
    in_addr wanted{};
    if (!command.bind.empty()) {
        if (!parse_ipv4(command.bind, &wanted)) {
            print_cli_error("bad --bind address '" + command.bind +
                            "': expected a dotted IPv4 address; nothing sent");
            return false;
        }
        if (wanted.s_addr == INADDR_ANY) {
            out->push_back(DiscoverInterface{});
            return true;
        }
    }
    std::vector<LocalAddress> locals;
    if (list_local_addresses(&locals) < 0) {
        // The protocol's own line is shown only with --verbose.
        print_cli_error(std::string("cannot list the local addresses: ") + std::strerror(errno));
        return false;
    }
    if (!command.interface_name.empty()) {
        for (const LocalAddress &local : locals)
            if (command.interface_name == local.where.name)
                out->push_back(local.where);
        if (out->empty())
            print_cli_error(
                "--interface '" + command.interface_name +
                "': no interface of that name is up with an IPv4 address; nothing sent");
        return !out->empty();
    }
    for (const LocalAddress &local : locals) {
        if (local.where.addr.s_addr == wanted.s_addr) {
            out->push_back(local.where);
            return true;
        }
    }
    print_cli_error("--bind '" + command.bind +
                    "': no interface that is up has this address; nothing sent");
    return false;
}

void RowCollector::found(const DiscoveredDevice &device)
{
    DeviceRow &row = rows.emplace_back();
    row.entry = device.entry;
    row.interface = device.where.name;
    row.vendor = vendorForMac(device.entry.mac).toStdString();
}

ExchangeFailure exchange_failure(bool setup, const std::string &image, const ExchangeReport &report)
{
    const std::string error = report.error != 0 ? std::strerror(report.error) : "";
    switch (report.stage) {
    case STAGE_DONE:
        break;
    case STAGE_INPUT:
        return {"nothing sent: " + error, false};
    case STAGE_CANCELLED:
        return {"cancelled", true};
    case STAGE_SOCKET:
        return {"cannot open the discovery socket: " + error, false};
    case STAGE_NO_REPLY:
        return {"no reply within the time-out", true};
    case STAGE_REFUSED:
        return {std::string("refused: ") +
                    (setup ? setup_result_word(report.result) : install_result_word(report.result)),
                true};
    case STAGE_CONNECT:
        return {"cannot connect to the install port: " + error, true};
    case STAGE_IMAGE:
        return {"image '" + image + "' cannot be read: " + error, false};
    case STAGE_UPLOAD: {
        const std::string taken =
            std::to_string(report.acked) + " of " + std::to_string(report.image_size) + " bytes";
        if (report.error == ETIMEDOUT)
            return {"device stopped reading after " + taken, true};
        return {"upload failed after " + taken + (error.empty() ? "" : ": " + error), true};
    }
    }
    return {"", true};
}

std::string answering_sources(const LocateResult &located, int *count)
{
    // Sorted, so the same devices always give the same line.
    std::vector<uint32_t> sources;
    for (const DiscoveredDevice &device : located.matches)
        sources.push_back(ntohl(device.source.s_addr));
    std::sort(sources.begin(), sources.end());
    sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
    std::string list;
    for (uint32_t source : sources)
        list += (list.empty() ? "" : ", ") + ipv4_text(in_addr{htonl(source)});
    *count = static_cast<int>(sources.size());
    return list;
}

int locate_for_command(const CliCommand &command, const ether_addr *macs, int count,
                       std::vector<LocateResult> *located, std::vector<DiscoveredDevice> *heard,
                       std::vector<DiscoverInterface> *used)
{
    std::vector<DiscoverInterface> interfaces;
    if (!select_interfaces(command, &interfaces))
        return STATUS_USAGE;
    if (used != nullptr)
        *used = interfaces;
    LocateOptions options{};
    options.max_run_ms = command.max_run_ms;
    options.targets = command.targets.data();
    options.target_count = static_cast<int>(command.targets.size());
    options.source_port = command.source_port;
    if (locate_devices(interfaces.data(), static_cast<int>(interfaces.size()), macs, count,
                       &options, located, heard) < 0) {
        print_cli_error("the discovery could not run on any interface");
        return STATUS_FAILED;
    }
    return STATUS_OK;
}

int run_discovery(const CliCommand &command, DiscoverSink *sink, bool *fallbackSaid,
                  const Inventory *inventory)
{
    std::vector<DiscoverInterface> interfaces;
    if (!select_interfaces(command, &interfaces, fallbackSaid))
        return STATUS_USAGE;
    DiscoverRunOptions options{};
    options.max_run_ms = command.max_run_ms;
    options.targets = command.targets.data();
    options.target_count = static_cast<int>(command.targets.size());
    options.source_port = command.source_port;
    if (discover_asking_remembered(command.ask_remembered ? inventory : nullptr, interfaces.data(),
                                   static_cast<int>(interfaces.size()), sink, options) < 0) {
        print_cli_error("the discovery could not run on any interface");
        return STATUS_FAILED;
    }
    return STATUS_OK;
}

int run_command(const CliCommand &command)
{
    switch (command.kind) {
    case CommandKind::Discover:
        return run_discover(command);
    case CommandKind::Inventory:
        return command.import_path.empty() ? list_inventory(command) : import_site(command);
    case CommandKind::Note:
        return set_note(command);
    case CommandKind::Doctor:
        return run_doctor_command(command);
    case CommandKind::Setup:
        if (command.fleet)
            return run_fleet_setup(command);
        break;
    case CommandKind::Install:
        if (command.fleet)
            return run_fleet_install(command);
        break;
    }
    return run_exchange(command);
}
