// SPDX-License-Identifier: GPL-3.0-or-later
// devscout-cli's commands: one discovery run on the chosen interfaces, then
// the list of devices, or one exchange with the device named by its MAC; or
// what the inventory remembers.
#pragma once

#include "command_line.h"
#include "discover_run.h"
#include "inventory.h"
#include "locate.h"

// The devices of a run as rows, in the order they answered, with vendors.
class RowCollector : public DiscoverSink
{
  public:
    void found(const DiscoveredDevice &device) override;

    std::vector<DeviceRow> rows;
};

// One whole discovery run on the command's interfaces: STATUS_OK, or how the
// program ends after a line that says why it could not run. The line that no
// interface can broadcast is said only while *fallbackSaid, when given, is
// false, which it then becomes. With --ask-remembered, the devices of
// inventory that the run did not hear are asked at their last addresses.
int run_discovery(const CliCommand &command, DiscoverSink *sink, bool *fallbackSaid = nullptr,
                  const Inventory *inventory = nullptr);

// The local addresses the discovery sockets bind to: from --interface or
// --bind, or every interface when neither is given, saying so when none can
// broadcast and the wildcard stands in (once, with fallbackSaid). False after
// printing which argument names nothing on this machine.
bool select_interfaces(const CliCommand &command, std::vector<DiscoverInterface> *out,
                       bool *fallbackSaid = nullptr);

// One locating discovery run on the command's interfaces for the MACs
// (locate_devices), which used (may be null) gets for later runs: STATUS_OK,
// or how the program ends after a line.
int locate_for_command(const CliCommand &command, const ether_addr *macs, int count,
                       std::vector<LocateResult> *located, std::vector<DiscoveredDevice> *heard,
                       std::vector<DiscoverInterface> *used);

// The distinct reply sources of a MAC's matches, sorted, as "a, b"; count
// gets how many.
std::string answering_sources(const LocateResult &located, int *count);

// Why an exchange did not end in STAGE_DONE, in the words of the command's
// lines: "refused: install forbidden", "no reply within the time-out", ...
// about_device: whether the line names the device before it.
struct ExchangeFailure {
    std::string text;
    bool about_device;
};
ExchangeFailure exchange_failure(bool setup, const std::string &image,
                                 const ExchangeReport &report);

// Runs the command and returns the exit status.
int run_command(const CliCommand &command);
