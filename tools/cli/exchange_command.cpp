#include "exchange_command.h"

#include "discover_run.h"
#include "progress_bar.h"
#include "select_interfaces.h"
#include "values.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <unistd.h>

namespace
{

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

using Exchange =
    std::function<void(const DiscoverInterface &, const ExchangeOptions &, ExchangeReport *)>;

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

int run_exchange(const CliCommand &command, const Exchange &exchange)
{
    std::vector<DiscoverInterface> interfaces;
    if (select_interfaces(command, &interfaces) < 0)
        return STATUS_USAGE;

    MacLocator locator(command.mac);
    if (discover_run(interfaces.data(), static_cast<int>(interfaces.size()), &locator,
                     command.max_run_ms) < 0) {
        print_cli_error("the discovery could not run on any interface");
        return STATUS_FAILED;
    }
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
    exchange(device->where, options, &report);
    return report_outcome(command, device->source, report);
}

} // namespace

int run_setup(const CliCommand &command)
{
    return run_exchange(command, [&](const DiscoverInterface &where, const ExchangeOptions &options,
                                     ExchangeReport *report) {
        do_setup_report(&where.addr, &command.mac, &command.ipaddr, &command.netmask,
                        command.dhcp ? 1 : 0, &options, report);
    });
}

int run_install(const CliCommand &command)
{
    return run_exchange(command, [&](const DiscoverInterface &where, ExchangeOptions options,
                                     ExchangeReport *report) {
        ProgressBar bar(stderr);
        if (isatty(STDERR_FILENO)) {
            options.progress = &ProgressBar::hook;
            options.context = &bar;
        }
        do_install_report(&where.addr, &command.mac, command.image.c_str(), &options, report);
    });
}
