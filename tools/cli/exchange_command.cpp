#include "exchange_command.h"

#include "discover_run.h"
#include "progress_bar.h"
#include "select_interfaces.h"
#include "values.h"

#include <cstring>
#include <functional>
#include <unistd.h>

namespace
{

bool same_mac(const ether_addr &a, const ether_addr &b)
{
    return std::memcmp(a.ether_addr_octet, b.ether_addr_octet, sizeof(a.ether_addr_octet)) == 0;
}

// Watches a discovery run for the MAC and ends it as soon as the device
// has been heard on a known interface.
class MacLocator : public DiscoverSink
{
  public:
    explicit MacLocator(const ether_addr &mac) : mac_(mac) {}

    void found(const DiscoveredDevice &device) override { heard(device.entry, device.where); }
    bool stop_requested() override { return located; }

    bool located = false;
    DiscoverInterface where{};

  private:
    void heard(const DiscoverEntry &entry, const DiscoverInterface &heard_on)
    {
        if (same_mac(entry.mac, mac_) && !located) {
            located = true;
            where = heard_on;
        }
    }

    ether_addr mac_;
};

using Exchange = std::function<void(const DiscoverInterface &, ExchangeReport *)>;

std::string device_text(const CliCommand &command, const ExchangeReport &report)
{
    std::string text = mac_text(command.mac);
    if (report.device.s_addr != 0)
        text += " (" + ipv4_text(report.device) + ")";
    return text;
}

// One line for how the exchange ended; failures on stderr.
int report_outcome(const CliCommand &command, const ExchangeReport &report)
{
    const bool setup = command.kind == CommandKind::Setup;
    const std::string device = device_text(command, report);
    const std::string error = report.error != 0 ? std::strerror(report.error) : "";
    switch (report.stage) {
    case STAGE_DONE:
        if (setup)
            std::printf("setup of %s: success\n", device.c_str());
        else
            std::printf("install on %s: image sent, %llu bytes\n", device.c_str(),
                        static_cast<unsigned long long>(report.sent));
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
    case STAGE_UPLOAD:
        print_cli_error(device + ": upload failed after " + std::to_string(report.sent) + " of " +
                        std::to_string(report.image_size) + " bytes: " + error);
        break;
    }
    return STATUS_FAILED;
}

int run_exchange(const CliCommand &command, const Exchange &exchange)
{
    std::vector<DiscoverInterface> interfaces;
    if (select_interfaces(command, &interfaces) < 0)
        return STATUS_USAGE;

    MacLocator locator(command.mac);
    if (discover_run(interfaces.data(), static_cast<int>(interfaces.size()), &locator) < 0) {
        print_cli_error("the discovery could not run on any interface");
        return STATUS_FAILED;
    }
    if (!locator.located) {
        print_cli_error("no device with MAC " + mac_text(command.mac) +
                        " answered the discovery; no request sent");
        return STATUS_FAILED;
    }
    ExchangeReport report{};
    exchange(locator.where, &report);
    return report_outcome(command, report);
}

} // namespace

int run_setup(const CliCommand &command)
{
    return run_exchange(command, [&](const DiscoverInterface &where, ExchangeReport *report) {
        do_setup_report(&where.addr, &command.mac, &command.ipaddr, &command.netmask,
                        command.dhcp ? 1 : 0, nullptr, report);
    });
}

int run_install(const CliCommand &command)
{
    return run_exchange(command, [&](const DiscoverInterface &where, ExchangeReport *report) {
        ProgressBar bar(stderr);
        ExchangeOptions options{};
        if (isatty(STDERR_FILENO)) {
            options.progress = &ProgressBar::hook;
            options.context = &bar;
        }
        do_install_report(&where.addr, &command.mac, command.image.c_str(), &options, report);
    });
}
