// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "progress_bar.h"
#include "remembered.h"
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

// The local addresses the discovery sockets bind to: from --interface or
// --bind, or every interface when neither is given, saying so when none can
// broadcast and the wildcard stands in (once, with fallbackSaid). False after
// printing which argument names nothing on this machine.
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

int run_discover(const CliCommand &command)
{
    if (command.watch_ms > 0)
        return run_watch(command);
    RowCollector collector;
    if (const int status = run_discovery(command, &collector); status != STATUS_OK)
        return status;
    mark_conflicts(&collector.rows);
    // A run that cannot be remembered is still listed.
    int status = STATUS_OK;
    if (command.use_inventory) {
        const std::unique_ptr<Inventory> inventory = open_inventory(command);
        if (inventory == nullptr || !remember_run(inventory.get(), QDateTime::currentDateTimeUtc(),
                                                  &collector.rows, nullptr))
            status = STATUS_FAILED;
    }
    // The protocol's lines never go to stdout (main), so it carries the
    // document alone.
    const std::string out = format_rows(collector.rows, command.format);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? status : STATUS_FAILED;
}

// Collects every device that answers with the MAC over the whole run, so
// that a clone gets its chance to answer too.
class MacLocator : public DiscoverSink
{
  public:
    explicit MacLocator(const ether_addr &mac) : mac_(mac) {}

    void found(const DiscoveredDevice &device) override
    {
        if (std::memcmp(&device.entry.mac, &mac_, sizeof(mac_)) == 0)
            matches.push_back(device);
    }

    std::vector<DiscoveredDevice> matches;

  private:
    ether_addr mac_;
};

// The one device the exchange may talk to, or null after printing why there
// is none.
const DiscoveredDevice *pick_device(const CliCommand &command,
                                    std::vector<DiscoveredDevice> *matches)
{
    const in_addr wanted = command.address;
    if (wanted.s_addr != INADDR_ANY)
        std::erase_if(*matches, [&](const DiscoveredDevice &device) {
            return device.source.s_addr != wanted.s_addr &&
                   device.entry.ipaddr.s_addr != wanted.s_addr;
        });
    const std::string mac = mac_text(command.mac);
    if (matches->empty()) {
        const std::string at = wanted.s_addr != INADDR_ANY ? " at " + ipv4_text(wanted) : "";
        print_cli_error("no device with MAC " + mac + at +
                        " answered the discovery; no request sent");
        return nullptr;
    }
    // Sorted, so the same devices always give the same line.
    std::vector<uint32_t> sources;
    for (const DiscoveredDevice &device : *matches)
        sources.push_back(ntohl(device.source.s_addr));
    std::sort(sources.begin(), sources.end());
    sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
    if (sources.size() > 1) {
        std::string list;
        for (uint32_t source : sources)
            list += (list.empty() ? "" : ", ") + ipv4_text(in_addr{htonl(source)});
        print_cli_error(mac + " is answered by " + std::to_string(sources.size()) +
                        " devices: " + list + "; pick one with --address; no request sent");
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
    const std::string error = report.error != 0 ? std::strerror(report.error) : "";
    switch (report.stage) {
    case STAGE_DONE:
        if (setup)
            std::printf("setup of %s: success\n", device.c_str());
        else
            std::printf("install on %s: image sent, %llu bytes\n", device.c_str(),
                        static_cast<unsigned long long>(report.acked));
        return STATUS_OK;
    case STAGE_INPUT:
        print_cli_error("nothing sent: " + error);
        break;
    case STAGE_CANCELLED:
        print_cli_error(device + ": cancelled");
        break;
    case STAGE_SOCKET:
        print_cli_error("cannot open the discovery socket: " + error);
        break;
    case STAGE_NO_REPLY:
        print_cli_error(device + ": no reply within the time-out");
        break;
    case STAGE_REFUSED:
        print_cli_error(
            device + " refused: " +
            (setup ? setup_result_word(report.result) : install_result_word(report.result)));
        break;
    case STAGE_CONNECT:
        print_cli_error(device + ": cannot connect to the install port: " + error);
        break;
    case STAGE_IMAGE:
        print_cli_error("image '" + command.image + "' cannot be read: " + error);
        break;
    case STAGE_UPLOAD: {
        const std::string taken =
            std::to_string(report.acked) + " of " + std::to_string(report.image_size) + " bytes";
        if (report.error == ETIMEDOUT)
            print_cli_error(device + ": device stopped reading after " + taken);
        else
            print_cli_error(device + ": upload failed after " + taken +
                            (error.empty() ? "" : ": " + error));
        break;
    }
    }
    return STATUS_FAILED;
}

// Finds the one device that answers with the MAC (the one at --address
// among several) and runs the exchange with it alone, from the interface
// that heard it.
int run_exchange(const CliCommand &command)
{
    MacLocator locator(command.mac);
    if (const int status = run_discovery(command, &locator); status != STATUS_OK)
        return status;
    const DiscoveredDevice *device = pick_device(command, &locator.matches);
    if (device == nullptr)
        return STATUS_FAILED;
    // Only the located device's replies count, and the upload waits no
    // longer than --timeout for it.
    ExchangeOptions options{};
    options.device = device->source;
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

void RowCollector::found(const DiscoveredDevice &device)
{
    DeviceRow &row = rows.emplace_back();
    row.entry = device.entry;
    row.interface = device.where.name;
    row.vendor = vendorForMac(device.entry.mac).toStdString();
}

int run_discovery(const CliCommand &command, DiscoverSink *sink, bool *fallbackSaid)
{
    std::vector<DiscoverInterface> interfaces;
    if (!select_interfaces(command, &interfaces, fallbackSaid))
        return STATUS_USAGE;
    if (discover_run(interfaces.data(), static_cast<int>(interfaces.size()), sink,
                     command.max_run_ms) < 0) {
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
        return list_inventory(command);
    case CommandKind::Note:
        return set_note(command);
    case CommandKind::Setup:
    case CommandKind::Install:
        break;
    }
    return run_exchange(command);
}
